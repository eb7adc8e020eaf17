// Sobol points and the arithmetic asian engine: nets, closed forms, determinism, the cap.
#include <cmath>
#include <bit>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "velmora/asian_mc.hpp"
#include "velmora/sobol.hpp"

using namespace velmora;

namespace {

// Euler's totient: there are phi(2^s - 1) / s primitive polynomials of degree s.
std::size_t totient(std::size_t n) {
    std::size_t r = n;
    for (std::size_t p = 2; p * p <= n; ++p)
        if (n % p == 0) {
            while (n % p == 0)
                n /= p;
            r -= r / p;
        }
    return n > 1 ? r - r / n : r;
}

void primitive_polynomial_counts() {
    std::size_t total = 0;
    for (int s = 1; s <= 12; ++s)
        total += totient((std::size_t{1} << s) - 1) / s;
    const auto polys = qmc::primitive_polynomials(total);
    std::vector<std::size_t> per_degree(13, 0);
    for (auto p : polys)
        ++per_degree[std::bit_width(p) - 1];
    for (int s = 1; s <= 12; ++s)
        CHECK(per_degree[s] == totient((std::size_t{1} << s) - 1) / s, "degree " + std::to_string(s));
}

// Every coordinate of the first 2^k points of a scrambled Sobol sequence has exactly one point
// in each interval [i / 2^k, (i + 1) / 2^k).
void scrambled_points_are_stratified() {
    const std::size_t dims = 200, n = 1024;
    const qmc::SobolDirections dirs(dims, 7);
    for (std::uint64_t seed : {1u, 2u}) {
        qmc::ScrambledSobol sobol(dirs, seed, n);
        std::vector<std::vector<int>> hits(dims, std::vector<int>(n, 0));
        std::vector<double> u(dims);
        for (std::size_t i = 0; i < n; ++i) {
            sobol.next(u);
            for (std::size_t d = 0; d < dims; ++d)
                ++hits[d][static_cast<std::size_t>(u[d] * n)];
        }
        int bad = 0;
        for (const auto& h : hits)
            for (int c : h)
                bad += c != 1;
        CHECK(bad == 0, "seed " + std::to_string(seed));
        CHECK_THROWS(std::out_of_range, sobol.next(u));
    }
}

void inverse_normal_inverts_the_distribution() {
    for (double p : {1e-12, 1e-6, 0.001, 0.02, 0.02425, 0.1, 0.3, 0.5, 0.7, 0.97575, 0.99,
                     1 - 1e-9}) {
        const double x = qmc::inverse_normal(p);
        // error in x from the error in p through the density (one Newton step)
        const double miss = 0.5 * std::erfc(-x / std::sqrt(2.0)) - p;
        const double density = std::exp(-0.5 * x * x) / std::sqrt(2.0 * M_PI);
        CHECK_CLOSE(miss / density, 0.0, 1.2e-9 * std::fabs(x) + 1e-15, "p " + std::to_string(p));
    }
    CHECK_THROWS(std::invalid_argument, qmc::inverse_normal(0.0));
}

struct Case {
    std::vector<double> times;
    asian::Contract contract;
    asian::Market market{57.56, 0.02, 0.01, 0.3};
};

Case seasoned(bool call, double strike) {
    Case c;
    for (int i = 0; i < 116; ++i)
        c.times.push_back((i + 1) / 252.0);
    const double known_sum = 126 * 55.0, known_log = 126 * std::log(55.0);
    c.contract = {call, strike, c.times.back(), c.times, 126, known_sum, known_log};
    return c;
}

void same_bits_on_any_thread_count_and_capped_when_starved() {
    auto c = seasoned(true, 56.0);
    asian::Controls k;
    k.target_se = 1e-4 * c.market.spot;
    const auto one = asian::arithmetic_value(c.contract, c.market, k);
    for (unsigned threads : {2u, 3u, 8u}) {
        k.threads = threads;
        const auto many = asian::arithmetic_value(c.contract, c.market, k);
        CHECK(many.value == one.value && many.standard_error == one.standard_error &&
                  many.paths == one.paths,
              "threads " + std::to_string(threads));
    }
    CHECK(!one.capped && one.standard_error <= k.target_se && one.standard_error > 0.0);
    // An unreachable target: the cap stops the work and says so.
    k.target_se = 1e-12;
    k.max_paths = 8192;
    const auto starved = asian::arithmetic_value(c.contract, c.market, k);
    CHECK(starved.capped && starved.paths == 8192);
    // Pseudo-random points agree within the combined errors.
    k.sobol = false;
    k.target_se = one.standard_error;
    k.max_paths = 1 << 22;
    const auto pseudo = asian::arithmetic_value(c.contract, c.market, k);
    CHECK_CLOSE(pseudo.value, one.value, 4 * std::hypot(pseudo.standard_error, one.standard_error));
}

// Known fixings only, or one uncertain fixing left: closed forms, no simulation.
void certain_and_one_fixing_left_are_exact() {
    const asian::Market m{50.0, 0.03, 0.0, 0.25};
    const std::vector<double> none, today{0.0}, one{0.1};
    const double disc = std::exp(-0.03 * 0.1);
    // 3 known fixings summing to 150 and one today at the spot: average 50.
    asian::Contract c{true, 48.0, 0.1, today, 3, 150.0, 3 * std::log(50.0)};
    auto r = asian::arithmetic_value(c, m, {});
    CHECK(r.exact && r.standard_error == 0.0);
    CHECK_CLOSE(r.value, disc * 2.0, 1e-14);
    c.fixing_times = none;
    c.known_count = 4;
    c.known_sum = 200.0;
    c.call = false;
    CHECK_CLOSE(asian::arithmetic_value(c, m, {}).value, 0.0, 0.0);
    // One fixing left: (150 + S_T) / 4 > 48 exactly when S_T > 42, a call of strike 42 / 4.
    c = {true, 48.0, 0.1, one, 3, 150.0, 3 * std::log(50.0)};
    const double sd = 0.25 * std::sqrt(0.1), fwd = 50.0 * std::exp(0.03 * 0.1);
    const double d1 = (std::log(fwd / 42.0) + 0.5 * sd * sd) / sd;
    auto cdf = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    const double call = disc * (fwd * cdf(d1) - 42.0 * cdf(d1 - sd)) / 4.0;
    r = asian::arithmetic_value(c, m, {});
    CHECK(r.exact);
    CHECK_CLOSE(r.value, call, 1e-13);
    // A strike below zero: the call is the discounted expected average less the strike.
    const std::vector<double> two{0.05, 0.1};
    c = {true, -1.0, 0.1, two, 3, 150.0, 3 * std::log(50.0)};
    const double mean = (150.0 + 50.0 * (std::exp(0.03 * 0.05) + std::exp(0.03 * 0.1))) / 5.0;
    r = asian::arithmetic_value(c, m, {});
    CHECK(r.exact);
    CHECK_CLOSE(r.value, disc * (mean + 1.0), 1e-13);
    c.call = false;
    CHECK_CLOSE(asian::arithmetic_value(c, m, {}).value, 0.0, 0.0);
    CHECK_THROWS(std::invalid_argument, asian::arithmetic_value(
        asian::Contract{true, 1.0, 0.1, none, 0, 0.0, 0.0}, m, {}));
    const std::vector<double> twice{0.05, 0.05, 0.1};
    CHECK_THROWS(std::invalid_argument, asian::arithmetic_value(
        asian::Contract{true, 1.0, 0.1, twice, 0, 0.0, 0.0}, m, {}));
}

} // namespace

int main() {
    primitive_polynomial_counts();
    scrambled_points_are_stratified();
    inverse_normal_inverts_the_distribution();
    same_bits_on_any_thread_count_and_capped_when_starved();
    certain_and_one_fixing_left_are_exact();
    return check::summary("test_asian_mc");
}
