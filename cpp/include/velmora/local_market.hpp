// Deterministic rates and yields per calendar day and a local-volatility table: the market
// of a valuation under curves and a volatility surface, sampled on the valuation's own days.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

// Days count from the valuation date; a year is 365 days, as everywhere in the engines.
//  - rate[d], yield[d]: continuously compounded forward rate and dividend yield over day
//    d -> d + 1 (so the discount factor to day D is exp(-sum_{d<D} rate[d] / 365));
//  - the local volatility at day t and log spot x: the row of the last vol_days entry at
//    or before t, interpolated linearly in x between the nodes x0 + i dx (i < nodes) and
//    held flat beyond them.  One node: no spot dependence (a term structure).
struct LocalMarket {
    std::span<const double> rate;
    std::span<const double> yield;
    std::span<const std::int64_t> vol_days;
    double x0 = 0.0;
    double dx = 1.0;
    std::size_t nodes = 1;
    std::span<const double> vol; // [row][node]

    std::size_t row_at(std::int64_t day) const {
        const auto it = std::upper_bound(vol_days.begin(), vol_days.end(), day);
        return it == vol_days.begin() ? 0 : static_cast<std::size_t>(it - vol_days.begin()) - 1;
    }
    double vol_in_row(std::size_t row, double x) const {
        const double* v = vol.data() + row * nodes;
        if (nodes == 1)
            return v[0];
        const double pos = (x - x0) / dx;
        if (!(pos > 0.0))
            return v[0];
        if (pos >= static_cast<double>(nodes - 1))
            return v[nodes - 1];
        const std::size_t i = static_cast<std::size_t>(pos);
        const double u = pos - static_cast<double>(i);
        return v[i] + u * (v[i + 1] - v[i]);
    }
    // Mean of a per-day array over days [a, b), as a rate per year; a constant run gives
    // its value exactly (so that equal rows give equal coefficients, bit for bit).
    static double mean(std::span<const double> daily, std::int64_t a, std::int64_t b) {
        const double first = daily[static_cast<std::size_t>(a)];
        double s = 0.0;
        bool constant = true;
        for (std::int64_t d = a; d < b; ++d) {
            s += daily[static_cast<std::size_t>(d)];
            constant = constant && daily[static_cast<std::size_t>(d)] == first;
        }
        return b > a && !constant ? s / static_cast<double>(b - a) : first;
    }
};

// Throws std::invalid_argument unless the arrays cover days 0 .. last_day - 1, hold finite
// numbers and positive vols, and the vol rows start on day 0 and ascend.
void check_local_market(const LocalMarket& m, std::int64_t last_day);

} // namespace velmora
