// Plain value types for the autocallable engine: contract, market and grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora {

enum class CouponRule { snowball, phoenix };

// Contract levels in price units (not fractions of the reference price).
struct AutocallTerms {
    double strike;
    double ki_barrier;
    double ko_barrier;
    CouponRule rule;
};

// Black-Scholes dynamics: continuously compounded rate and dividend yield, volatility;
// all as decimals.  The spot enters per scenario.
struct BlackScholesInputs {
    double r;
    double q;
    double vol;
};

// The time grid: one column per trading day from the valuation date to maturity (the last
// column), and the remaining observation dates as column positions.
struct ObservationGrid {
    std::span<const double> step_years;       // length of each step in years; column 0 runs
                                              // from the valuation date to the first day
    std::span<const std::int64_t> ko_columns; // remaining knock-out dates, in date order
    std::span<const std::int64_t> ki_columns; // remaining knock-in dates
    std::span<const double> coupons;          // undiscounted coupon of each knock-out date
};

// Totals over all paths for one spot scenario.
struct ScenarioValue {
    double spot;
    double coupon_total; // discounted coupons, summed over paths
    double loss_total;   // discounted loss at maturity in price units, summed (<= 0)

    double value(std::size_t paths) const {
        return (coupon_total + loss_total) / static_cast<double>(paths);
    }
};

struct AutocallResult {
    std::size_t paths = 0;
    std::vector<ScenarioValue> scenarios;
    // Monte Carlo standard error of each scenario's value (price units); empty unless asked.
    std::vector<double> standard_errors;
};

} // namespace velmora
