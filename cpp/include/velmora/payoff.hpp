// What one simulated path of a snowball or phoenix note pays, under one spot scenario.
#pragma once

#include <cstddef>
#include <limits>
#include <span>

#include "velmora/terms.hpp"

namespace velmora {

// The contract levels as ratios to the spot of one scenario.  Paths are simulated as
// ratios S_t / spot, so moving the spot moves the levels relative to the same paths.
struct ScenarioLevels {
    double ko;
    double ki;
    double strike;
};

inline ScenarioLevels levels_for(const AutocallTerms& terms, double spot) {
    return {terms.ko_barrier / spot, terms.ki_barrier / spot, terms.strike / spot};
}

// The observed points of one path, as ratios to the spot.
struct PathOutcome {
    std::span<const double> ko_levels; // on each remaining knock-out date, in date order
    double ki_min;                     // lowest level over the remaining knock-in dates;
                                       // +infinity when none remains (nothing can knock in)
    double terminal;                   // at maturity (last grid column)
};

inline constexpr double kNoKnockInDate = std::numeric_limits<double>::infinity();

struct CouponLeg {
    double amount;     // discounted coupons paid to the holder
    bool knocked_out;  // the path ended early on a knock-out date
};

// Snowball: only the first knock-out date pays, with the coupon accrued from the start of
// observation; a path that neither knocks out nor knocks in (now or before) is paid the
// coupon of the last remaining knock-out date.  Knock-out is strictly above the level.
struct SnowballCoupons {
    static CouponLeg pay(std::span<const double> ko_levels,
                         std::span<const double> discounted_coupons, const ScenarioLevels& lv,
                         bool knocked_in) {
        for (std::size_t k = 0; k < ko_levels.size(); ++k)
            if (ko_levels[k] > lv.ko)
                return {discounted_coupons[k], true};
        if (!knocked_in && !ko_levels.empty())
            return {discounted_coupons.back(), false};
        return {0.0, false};
    }
};

// Phoenix: each knock-out date on which the path is at or above the knock-in level pays
// that period's coupon, up to and including the date on which it knocks out.
struct PhoenixCoupons {
    static CouponLeg pay(std::span<const double> ko_levels,
                         std::span<const double> discounted_coupons, const ScenarioLevels& lv,
                         bool /*knocked_in*/) {
        double amount = 0.0;
        for (std::size_t k = 0; k < ko_levels.size(); ++k) {
            if (ko_levels[k] >= lv.ki)
                amount += discounted_coupons[k];
            if (ko_levels[k] > lv.ko)
                return {amount, true};
        }
        return {amount, false};
    }
};

// Discounted coupon, and discounted loss in ratio units (multiply by the spot for price
// units): min(S_T/spot - strike/spot, 0) on paths that knocked in and never knocked out.
struct PathPayoff {
    double coupon;
    double loss;
};

// Knock-in is strictly below the level; a level touched exactly does not knock in.
template <class Rule>
PathPayoff pay_path(const PathOutcome& path, std::span<const double> discounted_coupons,
                    double maturity_discount, const ScenarioLevels& lv, bool knocked_in_before) {
    const bool knocked_in = knocked_in_before || path.ki_min < lv.ki;
    const CouponLeg coupons = Rule::pay(path.ko_levels, discounted_coupons, lv, knocked_in);
    double loss = 0.0;
    if (knocked_in && !coupons.knocked_out) {
        const double shortfall = path.terminal - lv.strike;
        if (shortfall < 0.0)
            loss = shortfall * maturity_discount;
    }
    return {coupons.amount, loss};
}

} // namespace velmora
