// The simulation engine against a plain path matrix, closed forms and itself across threads.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "velmora/autocall.hpp"

using namespace velmora;

namespace {

std::vector<float> normal_pool(std::size_t rows, std::size_t cols, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<float> n(0.0f, 1.0f);
    std::vector<float> z(rows * cols);
    for (auto& v : z)
        v = n(gen);
    return z;
}

double norm_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Black-Scholes put on spot 1 (all levels as ratios).
double bs_put(double k, double r, double q, double vol, double t) {
    const double sd = vol * std::sqrt(t);
    const double d1 = (std::log(1.0 / k) + (r - q) * t) / sd + sd / 2.0;
    const double d2 = d1 - sd;
    return k * std::exp(-r * t) * norm_cdf(-d2) - std::exp(-q * t) * norm_cdf(-d1);
}

// A daily grid of `n` steps starting on the valuation date itself (first step 0).
std::vector<double> daily_grid(std::size_t n) {
    std::vector<double> dt(n, 1.0 / 365.0);
    dt[0] = 0.0;
    for (std::size_t j = 5; j < n; j += 7)
        dt[j] = 3.0 / 365.0; // weekends
    return dt;
}

// A 25-day note with three knock-out and seven knock-in dates on a pool of two whole
// path blocks and a tail: the thread-count checks run on it.
struct ShortNote {
    static constexpr std::size_t n = 25;
    std::size_t rows;
    std::vector<float> z;
    std::vector<double> dt = daily_grid(n);
    std::vector<std::int64_t> ko{4, 14, 24};
    std::vector<std::int64_t> ki{2, 4, 6, 8, 14, 20, 24};
    std::vector<double> coupons{0.5, 1.0, 1.5};

    ShortNote(std::size_t tail, unsigned seed)
        : rows(2 * kPathBlock + tail), z(normal_pool(rows, n, seed)) {}
    StridedMatrix<float> view() const { return StridedMatrix<float>::contiguous(z, rows, n); }
    ObservationGrid grid() const { return {dt, ko, ki, coupons}; }
};

// The full path matrix built the plain way: cumulative log-price, then exp.
std::vector<double> path_matrix(const std::vector<float>& z, std::size_t rows,
                                const std::vector<double>& dt, double r, double q, double vol) {
    const std::size_t n = dt.size();
    std::vector<double> paths(rows * n);
    for (std::size_t m = 0; m < rows; ++m) {
        double x = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double inc =
                ((r - q) - vol * vol / 2.0) * dt[j] + vol * std::sqrt(dt[j]) * z[m * n + j];
            x += inc;
            paths[m * n + j] = std::exp(x);
        }
    }
    return paths;
}

void matches_plain_path_matrix() {
    const std::size_t rows = 3001, n = 60;
    const auto z = normal_pool(rows, n, 7);
    const auto dt = daily_grid(n);
    const double r = 0.03, q = 0.01, vol = 0.3;
    const std::vector<std::int64_t> ko{0, 20, 40, 59};
    std::vector<std::int64_t> ki;
    for (std::int64_t j = 0; j < static_cast<std::int64_t>(n); ++j)
        ki.push_back(j);
    const std::vector<double> coupons{0.0, 1.5, 3.0, 4.4};
    const double spots[] = {100.0, 100.5, 99.5};
    const auto paths = path_matrix(z, rows, dt, r, q, vol);
    const auto discount = discount_factors(r, dt);
    for (CouponRule rule : {CouponRule::snowball, CouponRule::phoenix}) {
        for (bool knocked_in : {false, true}) {
            const AutocallTerms terms{100.0, 85.0, 103.0, rule};
            const ObservationGrid grid{dt, ko, ki, coupons};
            const auto sim = simulate_autocall<float>(
                terms, {r, q, vol}, grid, StridedMatrix<float>::contiguous(z, rows, n), spots,
                knocked_in, 2);
            const auto ref = value_paths<double>(
                terms, StridedMatrix<double>::contiguous(paths, rows, n), ko, ki, discount,
                coupons, spots, knocked_in, 1);
            const std::string ctx = std::string(rule == CouponRule::snowball ? "snowball"
                                                                             : "phoenix") +
                                    (knocked_in ? " knocked in" : "");
            CHECK(sim.paths == rows, ctx);
            for (std::size_t s = 0; s < 3; ++s) {
                const auto& a = sim.scenarios[s];
                const auto& b = ref.scenarios[s];
                CHECK_CLOSE(a.coupon_total, b.coupon_total, 1e-12 * std::fabs(b.coupon_total),
                            ctx);
                CHECK_CLOSE(a.loss_total, b.loss_total, 1e-12 * std::fabs(b.loss_total), ctx);
                CHECK(b.loss_total < 0.0 || knocked_in == false, ctx + ": loss expected");
            }
        }
    }
}

void zero_volatility_is_deterministic() {
    // With no volatility every path is exp((r - q) t): it knocks out on the first date
    // above the barrier and is paid that date's coupon, discounted.
    const std::size_t rows = 100, n = 30;
    const auto z = normal_pool(rows, n, 3);
    std::vector<double> dt(n, 1.0 / 365.0);
    const double r = 0.5, q = 0.0; // grows 0.137 % a day
    const std::vector<std::int64_t> ko{9, 19, 29};
    const std::vector<std::int64_t> ki{29};
    const std::vector<double> coupons{1.0, 2.0, 3.0};
    const double spots[] = {100.0};
    // level after 20 days: exp(0.5 * 20/365) = 1.0278; after 10 days 1.0138
    const AutocallTerms terms{100.0, 80.0, 102.0, CouponRule::snowball};
    const auto res = simulate_autocall<float>(terms, {r, q, 0.0}, {dt, ko, ki, coupons},
                                              StridedMatrix<float>::contiguous(z, rows, n),
                                              spots, false, 1);
    const double expected = 2.0 * std::exp(-r * 20.0 / 365.0);
    CHECK_CLOSE(res.scenarios[0].value(rows), expected, 1e-13);
}

void loss_matches_black_scholes_put() {
    // Knock-in level above any path and knock-out level out of reach: every path carries
    // the loss min(S_T - K, 0), whose discounted mean is minus the Black-Scholes put.
    const std::size_t rows = 40000, n = 50;
    const auto z = normal_pool(rows, n, 11);
    std::vector<double> dt(n, 1.0 / 365.0);
    const double r = 0.02, q = 0.03, vol = 0.25, k = 1.05;
    const double t = n / 365.0;
    const std::vector<std::int64_t> ko{49};
    const std::vector<std::int64_t> ki{10};
    const std::vector<double> coupons{1.0};
    const double spots[] = {100.0};
    const AutocallTerms terms{k * 100.0, 1e9, 1e9, CouponRule::snowball};
    const auto res = simulate_autocall<float>(terms, {r, q, vol}, {dt, ko, ki, coupons},
                                              StridedMatrix<float>::contiguous(z, rows, n),
                                              spots, false, 2);
    // standard error from the sample itself
    const auto paths = path_matrix(z, rows, dt, r, q, vol);
    double s1 = 0.0, s2 = 0.0;
    for (std::size_t m = 0; m < rows; ++m) {
        const double x = std::min(paths[m * n + n - 1] - k, 0.0) * std::exp(-r * t) * 100.0;
        s1 += x;
        s2 += x * x;
    }
    const double mean = s1 / rows;
    const double se = std::sqrt((s2 / rows - mean * mean) / rows);
    const double put = -100.0 * bs_put(k, r, q, vol, t);
    CHECK_CLOSE(res.scenarios[0].value(rows), put, 4.0 * se,
                "MC loss vs -put, 4 standard errors");
}

void phoenix_coupon_matches_digital() {
    // One knock-out date at maturity, knock-out out of reach: the coupon is paid when
    // S_T >= knock-in level, a cash-or-nothing digital c * df * N(d2).
    const std::size_t rows = 40000, n = 40;
    const auto z = normal_pool(rows, n, 5);
    std::vector<double> dt(n, 2.0 / 365.0);
    const double r = 0.03, q = 0.0, vol = 0.2, b = 0.97, c = 2.5;
    const double t = 2.0 * n / 365.0;
    const std::vector<std::int64_t> ko{static_cast<std::int64_t>(n - 1)};
    const std::vector<std::int64_t> ki;
    const std::vector<double> coupons{c};
    const double spots[] = {100.0};
    const AutocallTerms terms{100.0, b * 100.0, 1e9, CouponRule::phoenix};
    const auto res = simulate_autocall<float>(terms, {r, q, vol}, {dt, ko, ki, coupons},
                                              StridedMatrix<float>::contiguous(z, rows, n),
                                              spots, false, 2);
    const double sd = vol * std::sqrt(t);
    const double d2 = (std::log(1.0 / b) + (r - q) * t) / sd - sd / 2.0;
    const double p = norm_cdf(d2);
    const double df = std::exp(-r * t);
    const double se = c * df * std::sqrt(p * (1.0 - p) / rows);
    CHECK_CLOSE(res.scenarios[0].value(rows), c * df * p, 4.0 * se,
                "MC coupon vs digital, 4 standard errors");
}

void same_bits_for_any_thread_count() {
    const ShortNote note(777, 9);
    const double spots[] = {100.0, 100.5, 99.5};
    for (CouponRule rule : {CouponRule::snowball, CouponRule::phoenix}) {
        const AutocallTerms terms{100.0, 90.0, 101.0, rule};
        const auto one = simulate_autocall<float>(terms, {0.02, 0.0, 0.4}, note.grid(),
                                                  note.view(), spots, false, 1);
        for (unsigned threads : {2u, 3u, 8u}) {
            const auto many = simulate_autocall<float>(terms, {0.02, 0.0, 0.4}, note.grid(),
                                                       note.view(), spots, false, threads);
            for (std::size_t s = 0; s < 3; ++s) {
                const std::string ctx = "threads " + std::to_string(threads);
                CHECK(many.scenarios[s].coupon_total == one.scenarios[s].coupon_total, ctx);
                CHECK(many.scenarios[s].loss_total == one.scenarios[s].loss_total, ctx);
            }
        }
    }
}

// The standard error of a group comes from the per-path payoffs: the same bits on any thread
// count, the sums untouched, and an antithetic pool of an odd number of rows refused.
void standard_error_is_deterministic_and_leaves_the_sums() {
    const ShortNote note(778, 5);
    const double spots[] = {100.0, 100.5};
    const AutocallTerms terms{100.0, 90.0, 101.0, CouponRule::snowball};
    const auto view = note.view();
    const ScenarioGroup plain{{0.02, 0.0, 0.4}, note.grid(), spots, false};
    ScenarioGroup with_se = plain;
    with_se.sample_error = SampleError::antithetic_pairs;
    const auto base = simulate_autocall_groups<float>(terms, std::span(&plain, 1), view, 1);
    const auto one = simulate_autocall_groups<float>(terms, std::span(&with_se, 1), view, 1);
    CHECK(base[0].standard_errors.empty());
    CHECK(one[0].standard_errors.size() == 2 && one[0].standard_errors[0] > 0.0);
    for (unsigned threads : {1u, 3u}) {
        const auto many =
            simulate_autocall_groups<float>(terms, std::span(&with_se, 1), view, threads);
        for (std::size_t s = 0; s < 2; ++s) {
            CHECK(many[0].scenarios[s].coupon_total == base[0].scenarios[s].coupon_total);
            CHECK(many[0].scenarios[s].loss_total == base[0].scenarios[s].loss_total);
            CHECK(many[0].standard_errors[s] == one[0].standard_errors[s]);
        }
    }
    const auto odd = StridedMatrix<float>::contiguous(note.z, note.rows - 1, note.n);
    CHECK_THROWS(std::invalid_argument,
                 simulate_autocall_groups<float>(terms, std::span(&with_se, 1), odd, 1));
}

void rejects_bad_input() {
    const std::size_t rows = 10, n = 5;
    const auto z = normal_pool(rows, n, 1);
    const auto view = StridedMatrix<float>::contiguous(z, rows, n);
    const std::vector<double> dt(n, 1.0 / 365.0), short_dt(n - 1, 1.0 / 365.0), empty_dt;
    const std::vector<std::int64_t> ko{4}, ki{4}, beyond{5};
    const std::vector<double> coupons{1.0};
    const double spots[] = {100.0};
    const AutocallTerms terms{100.0, 80.0, 103.0, CouponRule::snowball};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CHECK_THROWS(std::invalid_argument,
                 simulate_autocall<float>(terms, {0.0, 0.0, 0.2}, {short_dt, ko, ki, coupons},
                                          view, spots, false, 1));
    CHECK_THROWS(std::invalid_argument,
                 simulate_autocall<float>(terms, {0.0, 0.0, 0.2}, {empty_dt, {}, {}, {}},
                                          StridedMatrix<float>(), spots, false, 1));
    CHECK_THROWS(std::invalid_argument,
                 simulate_autocall<float>(terms, {0.0, 0.0, nan}, {dt, ko, ki, coupons}, view,
                                          spots, false, 1));
    CHECK_THROWS(std::out_of_range,
                 simulate_autocall<float>(terms, {0.0, 0.0, 0.2}, {dt, beyond, ki, coupons},
                                          view, spots, false, 1));
}

} // namespace

int main() {
    matches_plain_path_matrix();
    zero_volatility_is_deterministic();
    loss_matches_black_scholes_put();
    phoenix_coupon_matches_digital();
    same_bits_for_any_thread_count();
    standard_error_is_deterministic_and_leaves_the_sums();
    rejects_bad_input();
    return check::summary("test_autocall");
}
