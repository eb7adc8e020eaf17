// Finite-difference autocallable solver: closed forms, convergence order, observation rules.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "velmora/autocall_pde.hpp"

using namespace velmora;
using namespace velmora::autocall_pde;

namespace {

double ncdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Black-Scholes put and the cash-or-nothing digital paying 1 when S_T >= k.
double put(double s, double k, double r, double q, double v, double t) {
    const double sd = v * std::sqrt(t);
    const double d1 = (std::log(s / k) + (r - q) * t) / sd + 0.5 * sd, d2 = d1 - sd;
    return k * std::exp(-r * t) * ncdf(-d2) - s * std::exp(-q * t) * ncdf(-d1);
}
double digital(double s, double k, double r, double q, double v, double t) {
    const double sd = v * std::sqrt(t);
    return std::exp(-r * t) * ncdf((std::log(s / k) + (r - q - 0.5 * v * v) * t) / sd);
}

std::vector<std::int64_t> weekdays(std::int64_t last) { // Mondays to Fridays, day 0 a Monday
    std::vector<std::int64_t> d;
    for (std::int64_t i = 0; i <= last; ++i)
        if (i % 7 < 5)
            d.push_back(i);
    if (d.back() != last)
        d.push_back(last);
    return d;
}

std::string tag(const char* what, double x) { return std::string(what) + " " + std::to_string(x); }

} // namespace

int main() {
    const std::vector<std::int64_t> days = weekdays(364);
    const std::int64_t last = static_cast<std::int64_t>(days.size()) - 1;
    const std::vector<std::int64_t> none, at_maturity{last};
    const double T = 364.0 / 365.0;
    const std::vector<Reading> today{{0, false}}, today_in{{0, true}};

    // Knocked in, nothing left to observe: the loss min(S_T - K, 0) is minus a put; and the
    // phoenix coupon paid at or above the knock-in level is a digital.
    for (double vol : {0.15, 0.4}) {
        const std::vector<Scenario> sc{{0.03, 0.01, vol}};
        const std::vector<double> spots{92.0, 100.0, 111.0};
        const AutocallTerms loss{100.0, 70.0, 1e300, CouponRule::snowball};
        const Result a = solve(loss, {days, none, none, {}}, sc, spots, today_in, {2, 2});
        const std::vector<double> coupon{7.0};
        const AutocallTerms ph{100.0, 90.0, 1e300, CouponRule::phoenix};
        const Result b = solve(ph, {days, at_maturity, none, coupon}, sc, spots, today, {2, 2});
        for (std::size_t j = 0; j < spots.size(); ++j) {
            CHECK_CLOSE(a.at(0, 0, j), -put(spots[j], 100.0, 0.03, 0.01, vol, T), 2e-3,
                        tag("loss, vol", vol));
            CHECK_CLOSE(b.at(0, 0, j), 7.0 * digital(spots[j], 90.0, 0.03, 0.01, vol, T), 2e-3,
                        tag("phoenix digital, vol", vol));
        }
    }

    // At least second order: the digital's error falls more than threefold each time both
    // steps halve, since its level sits half-way between nodes.
    {
        const std::vector<Scenario> sc{{0.03, 0.0, 0.25}};
        const std::vector<double> spots{100.0};
        const std::vector<double> coupon{7.0};
        const AutocallTerms ph{100.0, 93.0, 1e300, CouponRule::phoenix};
        const double exact = 7.0 * digital(100.0, 93.0, 0.03, 0.0, 0.25, T);
        double err[3];
        for (int g = 0; g < 3; ++g) {
            const Result r = solve(ph, {days, at_maturity, none, coupon}, sc, spots, today,
                                   {static_cast<double>(1 << g), 1 << g});
            err[g] = std::fabs(r.at(0, 0, 0) - exact);
        }
        CHECK(err[1] < err[0] / 3.0 && err[2] < err[1] / 3.0,
              tag("errors", err[0]) + tag(",", err[1]) + tag(",", err[2]));
    }

    // Observations on the reading day are applied at the spot, with strict comparisons: a
    // knock-out date today above the level pays its coupon at once; a spot exactly at the
    // knock-in level on a knock-in date does not knock in; just below it does.
    {
        const std::vector<Scenario> sc{{0.02, 0.0, 0.2}};
        const std::vector<std::int64_t> ko{0, last}, ki{0};
        const std::vector<double> coupons{1.5, 20.0};
        const AutocallTerms sb{100.0, 80.0, 103.0, CouponRule::snowball};
        const std::vector<double> spots{103.0001, 103.0, 80.0, 79.9999};
        const Result r = solve(sb, {days, ko, ki, coupons}, sc, spots, today, {2, 2});
        CHECK(r.at(0, 0, 0) == 1.5);
        CHECK(r.at(0, 0, 1) != 1.5);
        const Result in = solve(sb, {days, ko, ki, coupons}, sc, spots, today_in, {2, 2});
        CHECK_CLOSE(r.at(0, 0, 3), in.at(0, 0, 3), 2e-3);
        CHECK(r.at(0, 0, 2) - in.at(0, 0, 2) > 1.0);
        // the non-touch coupon of a snowball is discounted from its knock-out date
        const std::vector<std::int64_t> one_ko{last / 2};
        const std::vector<double> c{9.0};
        const std::vector<Scenario> calm{{0.05, 0.0, 0.01}};
        const std::vector<double> mid{100.0};
        const AutocallTerms far{100.0, 10.0, 1e6, CouponRule::snowball};
        const Result nt = solve(far, {days, one_ko, none, c}, calm, mid, today, {2, 2});
        const double t_ko = static_cast<double>(days[static_cast<std::size_t>(last / 2)]) / 365.0;
        CHECK_CLOSE(nt.at(0, 0, 0), 9.0 * std::exp(-0.05 * t_ko), 1e-6);
    }

    // Bad inputs are refused before any work.
    {
        const std::vector<Scenario> sc{{0.02, 0.0, 0.2}};
        const std::vector<double> spots{100.0};
        const AutocallTerms sb{100.0, 80.0, 103.0, CouponRule::snowball};
        const std::vector<Scenario> no_vol{{0.02, 0.0, 0.0}};
        const std::vector<std::int64_t> back{5, 3}, out{999};
        const std::vector<double> c{1.0};
        CHECK_THROWS(std::invalid_argument, solve(sb, {days, none, none, {}}, no_vol, spots, today, {2, 2}));
        CHECK_THROWS(std::invalid_argument, solve(sb, {back, none, none, {}}, sc, spots, today, {2, 2}));
        CHECK_THROWS(std::out_of_range, solve(sb, {days, out, none, c}, sc, spots, today, {2, 2}));
        CHECK_THROWS(std::invalid_argument, solve(sb, {days, at_maturity, none, {}}, sc, spots, today, {2, 2}));
        const std::vector<Reading> late{{400, false}};
        CHECK_THROWS(std::invalid_argument, solve(sb, {days, none, none, {}}, sc, spots, late, {2, 2}));
    }
    return check::summary("test_autocall_pde");
}
