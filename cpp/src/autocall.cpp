// Monte Carlo valuation of snowball and phoenix notes over a fixed pool of normal draws.
#include "velmora/autocall.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "kernel.hpp"
#include "require.hpp"
#include "velmora/parallel.hpp"
#include "velmora/payoff.hpp"
#include "velmora/simd.hpp"
#include "velmora/sizes.hpp"

namespace velmora {

namespace {

void check_columns(std::span<const std::int64_t> columns, std::size_t n_cols, const char* name) {
    for (std::int64_t c : columns)
        if (c < 0 || static_cast<std::size_t>(c) >= n_cols)
            throw std::out_of_range(std::string(name) + " column " + std::to_string(c) +
                                    " is outside the grid of " + std::to_string(n_cols) +
                                    " columns");
}

// Knock-out dates are taken in date order: the first one above the level ends the note.
void check_increasing(std::span<const std::int64_t> columns, const char* name) {
    for (std::size_t k = 1; k < columns.size(); ++k)
        if (columns[k] <= columns[k - 1])
            throw std::invalid_argument(std::string(name) + " columns must be strictly "
                                        "increasing (in date order); column " +
                                        std::to_string(columns[k]) + " at position " +
                                        std::to_string(k) + " follows " +
                                        std::to_string(columns[k - 1]));
}

void check_common(const AutocallTerms& terms, std::span<const double> spots,
                  std::span<const std::int64_t> ko_columns, std::span<const double> coupons) {
    require(std::isfinite(terms.strike) && std::isfinite(terms.ki_barrier) &&
                std::isfinite(terms.ko_barrier),
            "strike and barriers must be finite");
    require(!spots.empty(), "at least one spot is needed");
    for (double s : spots)
        require(std::isfinite(s) && s > 0.0, "spot must be finite and positive");
    require(coupons.size() == ko_columns.size(),
            "one coupon per remaining knock-out date is needed");
    for (double c : coupons)
        require(std::isfinite(c), "coupons must be finite");
    check_increasing(ko_columns, "knock-out");
}

// Per-call tables shared read-only by all threads.
struct Payout {
    std::vector<double> discounted_coupons; // coupon_k * discount at its column
    double maturity_discount = 1.0;
    std::vector<ScenarioLevels> levels;     // one per spot
};

Payout make_payout(const AutocallTerms& terms, std::span<const std::int64_t> ko_columns,
                   std::span<const double> coupons, std::span<const double> discount,
                   std::span<const double> spots) {
    Payout p;
    p.discounted_coupons.resize(ko_columns.size());
    for (std::size_t k = 0; k < ko_columns.size(); ++k)
        p.discounted_coupons[k] = coupons[k] * discount[static_cast<std::size_t>(ko_columns[k])];
    p.maturity_discount = discount.back();
    for (double s : spots)
        p.levels.push_back(levels_for(terms, s));
    return p;
}

// Adds the partial sums of one scenario group in block order.  Each block holds `width`
// sums; the group's start at `offset` of them, [scenario][coupon, loss].
AutocallResult reduce(const std::vector<double>& partial, std::size_t width, std::size_t offset,
                      std::span<const double> spots, std::size_t paths) {
    const std::size_t n_blocks = width ? partial.size() / width : 0;
    AutocallResult result;
    result.paths = paths;
    for (std::size_t s = 0; s < spots.size(); ++s) {
        const std::size_t at = offset + 2 * s;
        double coupon = 0.0, loss = 0.0;
        for (std::size_t b = 0; b < n_blocks; ++b) {
            coupon += partial[b * width + at];
            loss += partial[b * width + at + 1];
        }
        result.scenarios.push_back({spots[s], coupon, loss * spots[s]});
    }
    return result;
}

template <class Rule>
void add_path(const PathOutcome& path, const Payout& payout, bool knocked_in, double* sums) {
    for (std::size_t s = 0; s < payout.levels.size(); ++s) {
        const PathPayoff pp = pay_path<Rule>(path, payout.discounted_coupons,
                                             payout.maturity_discount, payout.levels[s],
                                             knocked_in);
        sums[2 * s] += pp.coupon;
        sums[2 * s + 1] += pp.loss;
    }
}

// The simulation plan of one group: per column, the increment coefficients and what is
// observed there; per spot, the level tests.
struct GroupPlan {
    std::vector<double> drift;          // (r - q - vol^2/2) dt_j
    std::vector<double> diffusion;      // vol sqrt(dt_j)
    std::vector<unsigned char> flags;   // knock-in date, log-level kept
    std::vector<std::int32_t> slot;     // where the log-level of the column is kept, or -1
    std::vector<std::size_t> ko_slot;   // slot of each knock-out date, in date order
    std::size_t terminal_slot = 0;
    std::size_t n_slots = 0;
    Payout payout;
    std::vector<kernel::SpotTests> tests;
};

// Far from the level (more than 1e-9 apart in log) the comparison of log-levels is certain:
// exp has a relative error near 1e-16 (and overflows to infinity only above the largest
// double).  Levels that are not finite, or so small that exp would lose precision near
// them, are always compared through exp.
kernel::LevelTest level_test(double level) {
    kernel::LevelTest t{level, -std::numeric_limits<double>::infinity(),
                        std::numeric_limits<double>::infinity()};
    if (level >= 1e-300 && level <= std::numeric_limits<double>::max()) {
        const double lg = std::log(level);
        t.lo = lg - 1e-9;
        t.hi = lg + 1e-9;
    }
    return t;
}

GroupPlan make_plan(const AutocallTerms& terms, const ScenarioGroup& group) {
    const BlackScholesInputs& m = group.market;
    const ObservationGrid& g = group.grid;
    GroupPlan p;
    const std::size_t n_cols = g.step_years.size();
    const double drift_rate = (m.r - m.q) - m.vol * m.vol / 2.0;
    p.drift.resize(n_cols);
    p.diffusion.resize(n_cols);
    for (std::size_t j = 0; j < n_cols; ++j) {
        p.drift[j] = drift_rate * g.step_years[j];
        p.diffusion[j] = m.vol * std::sqrt(g.step_years[j]);
    }
    p.flags.assign(n_cols, 0);
    for (std::int64_t c : g.ki_columns)
        p.flags[static_cast<std::size_t>(c)] |= kernel::kKnockInColumn;
    p.slot.assign(n_cols, -1);
    auto slot_of = [&](std::size_t col) {
        if (p.slot[col] < 0) {
            p.slot[col] = static_cast<std::int32_t>(p.n_slots++);
            p.flags[col] |= kernel::kKeptColumn;
        }
        return static_cast<std::size_t>(p.slot[col]);
    };
    for (std::int64_t c : g.ko_columns)
        p.ko_slot.push_back(slot_of(static_cast<std::size_t>(c)));
    p.terminal_slot = slot_of(n_cols - 1);
    const std::vector<double> discount = discount_factors(m.r, g.step_years);
    p.payout = make_payout(terms, g.ko_columns, g.coupons, discount, group.spots);
    for (const ScenarioLevels& lv : p.payout.levels)
        p.tests.push_back({level_test(lv.ko), level_test(lv.ki), level_test(lv.strike)});
    return p;
}

void check_group(const AutocallTerms& terms, const ScenarioGroup& group, std::size_t pool_cols) {
    const BlackScholesInputs& market = group.market;
    const ObservationGrid& grid = group.grid;
    const std::size_t n_cols = grid.step_years.size();
    require(n_cols > 0, "the grid needs at least one trading day");
    require(n_cols <= pool_cols, "the pool has " + std::to_string(pool_cols) +
                                     " columns, fewer than the grid's " +
                                     std::to_string(n_cols) + " steps");
    require(std::isfinite(market.r) && std::isfinite(market.q) && std::isfinite(market.vol),
            "rate, dividend yield and volatility must be finite");
    for (double dt : grid.step_years)
        require(std::isfinite(dt) && dt >= 0.0, "step lengths must be finite and non-negative");
    check_common(terms, group.spots, grid.ko_columns, grid.coupons);
    check_columns(grid.ko_columns, n_cols, "knock-out");
    check_columns(grid.ki_columns, n_cols, "knock-in");
}

template <class T>
void run_kernel(const kernel::Job& job, const StridedMatrix<T>& draws, std::size_t first,
                std::size_t last, double* sums, double* scratch) {
    const kernel::Draws<T> d{draws.data.data(), draws.row_stride, draws.col_stride};
    if constexpr (std::is_same_v<T, float>) {
        if (draws.col_stride == 1) {
            switch (simd_level()) {
            case SimdLevel::avx512:
#if defined(VELMORA_HAVE_AVX512)
                kernel::block_avx512(job, d, first, last, sums, scratch);
                return;
#endif
            case SimdLevel::avx2:
#if defined(VELMORA_HAVE_AVX2)
                kernel::block_avx2(job, d, first, last, sums, scratch);
                return;
#endif
            case SimdLevel::portable:
                break;
            }
        }
    }
    kernel::block_portable(job, d, first, last, sums, scratch);
}

// A level of a given path that the valuation reads; NaN or infinity is refused, since no
// comparison with a barrier means anything then.
template <class T>
double observed_level(const StridedMatrix<T>& paths, std::size_t m, std::size_t c) {
    const double level = static_cast<double>(paths(m, c));
    if (!std::isfinite(level))
        throw std::invalid_argument("path " + std::to_string(m) + " has a non-finite level (" +
                                    std::to_string(level) + ") in observed column " +
                                    std::to_string(c));
    return level;
}

template <class T, class Rule>
void value_block(const StridedMatrix<T>& paths, std::span<const std::int64_t> ko_columns,
                 std::span<const std::int64_t> ki_columns, const Payout& payout,
                 std::size_t first, std::size_t last, bool knocked_in, double* sums) {
    std::vector<double> ko_levels(ko_columns.size());
    for (std::size_t m = first; m < last; ++m) {
        for (std::size_t k = 0; k < ko_columns.size(); ++k)
            ko_levels[k] = observed_level(paths, m, static_cast<std::size_t>(ko_columns[k]));
        double ki_min = kNoKnockInDate;
        for (std::int64_t c : ki_columns)
            ki_min = std::min(ki_min, observed_level(paths, m, static_cast<std::size_t>(c)));
        const PathOutcome path{ko_levels, ki_min, observed_level(paths, m, paths.cols - 1)};
        add_path<Rule>(path, payout, knocked_in, sums);
    }
}

// Runs `block(first, last, sums)` on every block of paths, in parallel, and returns the
// partial sums of all blocks: `width` per block, in block order.
template <class Block>
std::vector<double> block_sums(std::size_t n_paths, std::size_t width, unsigned threads,
                               const Block& block) {
    const std::size_t n_blocks = n_paths / kPathBlock + (n_paths % kPathBlock != 0);
    std::vector<double> partial(checked_mul(n_blocks, width, "partial sums"), 0.0);
    for_each_block(n_blocks, threads, [&](std::size_t b) {
        const std::size_t first = b * kPathBlock;
        const std::size_t last = first + std::min(kPathBlock, n_paths - first);
        block(first, last, partial.data() + b * width);
    });
    return partial;
}

// Standard error of the mean payoff under one spot, from the per-path coupons and losses of a
// pass (path m pays coupon[m] + loss[m] * spot; losses are kept in ratio units).  Two passes
// in path order (the mean, then the squared deviations from it): exact enough where the
// payoffs are large beside their spread, and the same bits on any number of threads.
double standard_error(const double* coupon, const double* loss, double spot, std::size_t n_paths,
                      SampleError how) {
    const bool pairs = how == SampleError::antithetic_pairs;
    require(!pairs || n_paths % 2 == 0,
            "an antithetic pool has an even number of rows, got " + std::to_string(n_paths));
    const std::size_t half = n_paths / 2;
    const std::size_t samples = pairs ? half : n_paths;
    if (samples < 2)
        return std::numeric_limits<double>::quiet_NaN(); // one sample says nothing of spread
    auto sample = [&](std::size_t k) {
        const double first = coupon[k] + loss[k] * spot;
        if (!pairs)
            return first;
        return (first + (coupon[k + half] + loss[k + half] * spot)) / 2.0;
    };
    double mean = 0.0;
    for (std::size_t k = 0; k < samples; ++k)
        mean += sample(k);
    mean /= static_cast<double>(samples);
    double squares = 0.0;
    for (std::size_t k = 0; k < samples; ++k) {
        const double d = sample(k) - mean;
        squares += d * d;
    }
    const double variance = squares / static_cast<double>(samples - 1);
    return std::sqrt(variance / static_cast<double>(samples));
}

} // namespace

std::vector<double> discount_factors(double r, std::span<const double> step_years) {
    std::vector<double> df(step_years.size());
    double t = 0.0;
    for (std::size_t j = 0; j < step_years.size(); ++j) {
        t += step_years[j];
        df[j] = std::exp(-r * t);
    }
    return df;
}

template <class T>
std::vector<AutocallResult> simulate_autocall_groups(const AutocallTerms& terms,
                                                     std::span<const ScenarioGroup> groups,
                                                     const StridedMatrix<T>& draws,
                                                     unsigned threads) {
    require(!groups.empty(), "at least one scenario group is needed");
    require(draws.rows > 0, "the pool of normal draws has no rows");
    std::size_t n_cols = 0;
    for (const ScenarioGroup& g : groups) {
        check_group(terms, g, draws.cols);
        n_cols = std::max(n_cols, g.grid.step_years.size());
    }

    std::vector<GroupPlan> plans;
    plans.reserve(groups.size());
    for (const ScenarioGroup& g : groups)
        plans.push_back(make_plan(terms, g));
    std::vector<kernel::Group> kgroups;
    std::size_t width = 0, kept = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const GroupPlan& p = plans[i];
        kgroups.push_back({groups[i].grid.step_years.size(), p.drift.data(), p.diffusion.data(),
                           p.flags.data(), p.slot.data(), p.n_slots, p.ko_slot.data(),
                           p.ko_slot.size(), p.terminal_slot,
                           !groups[i].grid.ki_columns.empty(), groups[i].knocked_in,
                           p.payout.discounted_coupons.data(), p.payout.maturity_discount,
                           p.tests.data(), p.tests.size(), width, kept});
        width += 2 * p.tests.size();
        kept += p.n_slots * kernel::kLanes;
    }
    const kernel::Job job{kgroups.data(), kgroups.size(), n_cols,
                          terms.rule == CouponRule::phoenix, kept};
    const std::size_t scratch_size = kernel::scratch_doubles(job);

    const std::size_t n_paths = draws.rows;
    // per-path coupons and losses of the groups that want a standard error
    std::vector<std::vector<double>> path_pay(groups.size());
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (groups[i].sample_error == SampleError::none)
            continue;
        path_pay[i].resize(checked_mul(checked_mul(2, groups[i].spots.size(), "path payoffs"),
                                       n_paths, "path payoffs"));
        kgroups[i].path_pay = path_pay[i].data();
        kgroups[i].n_paths = n_paths;
    }
    const std::vector<double> partial = block_sums(
        n_paths, width, threads, [&](std::size_t first, std::size_t last, double* sums) {
            std::vector<double> scratch(scratch_size);
            run_kernel(job, draws, first, last, sums, scratch.data());
        });
    std::vector<AutocallResult> results;
    results.reserve(groups.size());
    for (std::size_t i = 0; i < groups.size(); ++i) {
        results.push_back(reduce(partial, width, kgroups[i].sum_offset, groups[i].spots, n_paths));
        if (path_pay[i].empty())
            continue;
        for (std::size_t s = 0; s < groups[i].spots.size(); ++s) {
            const double* coupon = path_pay[i].data() + 2 * s * n_paths;
            results.back().standard_errors.push_back(standard_error(
                coupon, coupon + n_paths, groups[i].spots[s], n_paths, groups[i].sample_error));
        }
    }
    return results;
}

template <class T>
AutocallResult simulate_autocall(const AutocallTerms& terms, const BlackScholesInputs& market,
                                 const ObservationGrid& grid, const StridedMatrix<T>& draws,
                                 std::span<const double> spots, bool knocked_in,
                                 unsigned threads) {
    const std::size_t n_cols = grid.step_years.size();
    require(n_cols > 0, "the grid needs at least one trading day");
    require(draws.rows > 0, "the pool of normal draws has no rows");
    require(draws.cols == n_cols, "the pool must have one column per grid step (" +
                                      std::to_string(n_cols) + "), got " +
                                      std::to_string(draws.cols));
    const ScenarioGroup group{market, grid, spots, knocked_in};
    return std::move(simulate_autocall_groups(terms, std::span(&group, 1), draws, threads)[0]);
}

template <class T>
AutocallResult value_paths(const AutocallTerms& terms, const StridedMatrix<T>& paths,
                           std::span<const std::int64_t> ko_columns,
                           std::span<const std::int64_t> ki_columns,
                           std::span<const double> discount, std::span<const double> coupons,
                           std::span<const double> spots, bool knocked_in, unsigned threads) {
    require(paths.rows > 0, "no paths to value");
    require(paths.cols > 0, "paths need at least one column");
    require(discount.size() == paths.cols, "one discount factor per path column is needed (" +
                                               std::to_string(paths.cols) + "), got " +
                                               std::to_string(discount.size()));
    for (double d : discount)
        require(std::isfinite(d) && d >= 0.0,
                "discount factors must be finite and not negative, got " + std::to_string(d));
    check_common(terms, spots, ko_columns, coupons);
    check_columns(ko_columns, paths.cols, "knock-out");
    check_columns(ki_columns, paths.cols, "knock-in");

    const Payout payout = make_payout(terms, ko_columns, coupons, discount, spots);
    const std::size_t width = checked_mul(2, spots.size(), "partial sums per block");
    const std::vector<double> partial = block_sums(
        paths.rows, width, threads, [&](std::size_t first, std::size_t last, double* sums) {
            if (terms.rule == CouponRule::snowball)
                value_block<T, SnowballCoupons>(paths, ko_columns, ki_columns, payout, first,
                                                last, knocked_in, sums);
            else
                value_block<T, PhoenixCoupons>(paths, ko_columns, ki_columns, payout, first,
                                               last, knocked_in, sums);
        });
    return reduce(partial, width, 0, spots, paths.rows);
}

template <class T>
std::vector<double> simulate_autocall_local(const AutocallTerms& terms, const LocalGroup& group,
                                            const StridedMatrix<T>& draws, unsigned threads) {
    const ObservationGrid& g = group.grid;
    const std::size_t n_cols = g.step_years.size();
    require(n_cols > 0, "the grid needs at least one trading day");
    require(draws.rows > 0, "the pool of normal draws has no rows");
    require(n_cols <= draws.cols, "the pool has " + std::to_string(draws.cols) +
                                      " columns, fewer than the grid's " +
                                      std::to_string(n_cols) + " steps");
    require(group.column_days.size() == n_cols, "one calendar day per grid column is needed");
    for (std::size_t j = 0; j < n_cols; ++j)
        require(group.column_days[j] >= (j ? group.column_days[j - 1] + 1 : 0),
                "column days must be strictly increasing from the valuation date");
    check_common(terms, group.spots, g.ko_columns, g.coupons);
    check_columns(g.ko_columns, n_cols, "knock-out");
    check_columns(g.ki_columns, n_cols, "knock-in");
    const LocalMarket& m = group.market;
    check_local_market(m, group.column_days.back());

    // per column: drift of the rates, step length, vol row, and what is observed there
    std::vector<double> carry(n_cols), dt(n_cols), sqrt_dt(n_cols), discount(n_cols);
    std::vector<std::size_t> row(n_cols);
    std::vector<std::int32_t> ko_pos(n_cols, -1);
    std::vector<unsigned char> ki_col(n_cols, 0);
    double rate_sum = 0.0;
    for (std::size_t j = 0; j < n_cols; ++j) {
        const std::int64_t a = j ? group.column_days[j - 1] : 0, b = group.column_days[j];
        double c = 0.0;
        for (std::int64_t d = a; d < b; ++d) {
            c += m.rate[static_cast<std::size_t>(d)] - m.yield[static_cast<std::size_t>(d)];
            rate_sum += m.rate[static_cast<std::size_t>(d)];
        }
        carry[j] = c / 365.0;
        dt[j] = static_cast<double>(b - a) / 365.0;
        sqrt_dt[j] = std::sqrt(dt[j]);
        row[j] = m.row_at(a);
        discount[j] = std::exp(-rate_sum / 365.0);
    }
    for (std::size_t k = 0; k < g.ko_columns.size(); ++k)
        ko_pos[static_cast<std::size_t>(g.ko_columns[k])] = static_cast<std::int32_t>(k);
    for (std::int64_t c : g.ki_columns)
        ki_col[static_cast<std::size_t>(c)] = 1;
    const Payout payout = make_payout(terms, g.ko_columns, g.coupons, discount, group.spots);

    const std::size_t n_paths = draws.rows, n_spots = group.spots.size();
    std::vector<double> out(checked_mul(n_spots, n_paths, "path values"));
    const std::size_t n_blocks = n_paths / kPathBlock + (n_paths % kPathBlock != 0);
    for_each_block(n_blocks, threads, [&](std::size_t b) {
        const std::size_t first = b * kPathBlock;
        const std::size_t last = first + std::min(kPathBlock, n_paths - first);
        std::vector<double> ko_levels(g.ko_columns.size());
        for (std::size_t s = 0; s < n_spots; ++s) {
            const double x_spot = std::log(group.spots[s]);
            for (std::size_t p = first; p < last; ++p) {
                double x = x_spot, ki_min = kNoKnockInDate;
                for (std::size_t j = 0; j < n_cols; ++j) {
                    const double vol = m.vol_in_row(row[j], x);
                    x += carry[j] - 0.5 * vol * vol * dt[j] +
                         vol * sqrt_dt[j] * static_cast<double>(draws(p, j));
                    if (ko_pos[j] >= 0 || ki_col[j]) {
                        const double level = std::exp(x - x_spot);
                        if (ko_pos[j] >= 0)
                            ko_levels[static_cast<std::size_t>(ko_pos[j])] = level;
                        if (ki_col[j])
                            ki_min = std::min(ki_min, level);
                    }
                }
                const PathOutcome path{ko_levels, ki_min, std::exp(x - x_spot)};
                const PathPayoff pp =
                    terms.rule == CouponRule::snowball
                        ? pay_path<SnowballCoupons>(path, payout.discounted_coupons,
                                                    payout.maturity_discount,
                                                    payout.levels[s], group.knocked_in)
                        : pay_path<PhoenixCoupons>(path, payout.discounted_coupons,
                                                   payout.maturity_discount, payout.levels[s],
                                                   group.knocked_in);
                out[s * n_paths + p] = pp.coupon + pp.loss * group.spots[s];
            }
        }
    });
    return out;
}

template std::vector<double> simulate_autocall_local(const AutocallTerms&, const LocalGroup&,
                                                     const StridedMatrix<float>&, unsigned);
template std::vector<double> simulate_autocall_local(const AutocallTerms&, const LocalGroup&,
                                                     const StridedMatrix<double>&, unsigned);

// The only instantiations of the three templates of autocall.hpp: float pools (the normal
// pool and float32 paths) and double ones.
template AutocallResult simulate_autocall(const AutocallTerms&, const BlackScholesInputs&,
                                          const ObservationGrid&, const StridedMatrix<float>&,
                                          std::span<const double>, bool, unsigned);
template AutocallResult simulate_autocall(const AutocallTerms&, const BlackScholesInputs&,
                                          const ObservationGrid&, const StridedMatrix<double>&,
                                          std::span<const double>, bool, unsigned);
template std::vector<AutocallResult> simulate_autocall_groups(const AutocallTerms&,
                                                              std::span<const ScenarioGroup>,
                                                              const StridedMatrix<float>&,
                                                              unsigned);
template std::vector<AutocallResult> simulate_autocall_groups(const AutocallTerms&,
                                                              std::span<const ScenarioGroup>,
                                                              const StridedMatrix<double>&,
                                                              unsigned);
template AutocallResult value_paths(const AutocallTerms&, const StridedMatrix<float>&,
                                    std::span<const std::int64_t>, std::span<const std::int64_t>,
                                    std::span<const double>, std::span<const double>,
                                    std::span<const double>, bool, unsigned);
template AutocallResult value_paths(const AutocallTerms&, const StridedMatrix<double>&,
                                    std::span<const std::int64_t>, std::span<const std::int64_t>,
                                    std::span<const double>, std::span<const double>,
                                    std::span<const double>, bool, unsigned);

} // namespace velmora
