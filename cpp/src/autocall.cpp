// Monte Carlo valuation of snowball and phoenix notes over a fixed pool of normal draws.
#include "velmora/autocall.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "velmora/parallel.hpp"
#include "velmora/payoff.hpp"
#include "velmora/sizes.hpp"

namespace velmora {

namespace {

void require(bool ok, const std::string& what) {
    if (!ok)
        throw std::invalid_argument(what);
}

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

// Adds the block partial sums in block order: [block][scenario][coupon, loss].
AutocallResult reduce(const std::vector<double>& partial, std::size_t n_blocks,
                      std::span<const double> spots, std::size_t paths) {
    const std::size_t n_scen = spots.size();
    AutocallResult result;
    result.paths = paths;
    for (std::size_t s = 0; s < n_scen; ++s) {
        double coupon = 0.0, loss = 0.0;
        for (std::size_t b = 0; b < n_blocks; ++b) {
            coupon += partial[(b * n_scen + s) * 2];
            loss += partial[(b * n_scen + s) * 2 + 1];
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

// The simulation plan: per column, the increment coefficients and what is observed there.
struct Plan {
    std::size_t n_cols = 0;
    std::vector<double> drift;          // (r - q - vol^2/2) dt_j
    std::vector<double> diffusion;      // vol sqrt(dt_j)
    std::vector<unsigned char> ki_flag; // column is a knock-in date
    std::vector<std::int32_t> slot;     // where the log-level of the column is kept, or -1
    std::vector<std::size_t> ko_slot;   // slot of each knock-out date, in date order
    std::size_t terminal_slot = 0;
    std::size_t n_slots = 0;
    bool has_ki_dates = false;
};

Plan make_plan(const BlackScholesInputs& m, const ObservationGrid& g) {
    Plan p;
    p.n_cols = g.step_years.size();
    const double drift_rate = (m.r - m.q) - m.vol * m.vol / 2.0;
    p.drift.resize(p.n_cols);
    p.diffusion.resize(p.n_cols);
    for (std::size_t j = 0; j < p.n_cols; ++j) {
        p.drift[j] = drift_rate * g.step_years[j];
        p.diffusion[j] = m.vol * std::sqrt(g.step_years[j]);
    }
    p.ki_flag.assign(p.n_cols, 0);
    for (std::int64_t c : g.ki_columns)
        p.ki_flag[static_cast<std::size_t>(c)] = 1;
    p.has_ki_dates = !g.ki_columns.empty();
    p.slot.assign(p.n_cols, -1);
    auto slot_of = [&](std::size_t col) {
        if (p.slot[col] < 0)
            p.slot[col] = static_cast<std::int32_t>(p.n_slots++);
        return static_cast<std::size_t>(p.slot[col]);
    };
    for (std::int64_t c : g.ko_columns)
        p.ko_slot.push_back(slot_of(static_cast<std::size_t>(c)));
    p.terminal_slot = slot_of(p.n_cols - 1);
    return p;
}

// Paths are advanced kLanes at a time: independent accumulations that the processor can
// overlap, each done in exactly the order a single path would use.
constexpr std::size_t kLanes = 8;

template <class T, class Rule>
void simulate_block(const Plan& plan, const Payout& payout, const StridedMatrix<T>& draws,
                    std::size_t first, std::size_t last, bool knocked_in, double* sums) {
    std::vector<double> kept(kLanes * plan.n_slots);
    std::vector<double> ko_levels(plan.ko_slot.size());
    const std::size_t cs = draws.col_stride;
    for (std::size_t m0 = first; m0 < last; m0 += kLanes) {
        const std::size_t width = std::min(kLanes, last - m0);
        const T* rows[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l)
            rows[l] = draws.row(m0 + (l < width ? l : 0));
        double x[kLanes], x_min[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            x[l] = 0.0;
            x_min[l] = kNoKnockInDate;
        }
        for (std::size_t j = 0; j < plan.n_cols; ++j) {
            const double a = plan.drift[j], b = plan.diffusion[j];
            const std::size_t off = j * cs;
            for (std::size_t l = 0; l < kLanes; ++l)
                x[l] += a + b * static_cast<double>(rows[l][off]);
            if (plan.ki_flag[j])
                for (std::size_t l = 0; l < kLanes; ++l)
                    x_min[l] = std::min(x_min[l], x[l]);
            if (const std::int32_t s = plan.slot[j]; s >= 0)
                for (std::size_t l = 0; l < kLanes; ++l)
                    kept[l * plan.n_slots + static_cast<std::size_t>(s)] = x[l];
        }
        for (std::size_t l = 0; l < width; ++l) {
            const double* k = kept.data() + l * plan.n_slots;
            for (std::size_t i = 0; i < ko_levels.size(); ++i)
                ko_levels[i] = std::exp(k[plan.ko_slot[i]]);
            // exp is increasing, so the lowest level is exp of the lowest log-level.
            const PathOutcome path{ko_levels,
                                   plan.has_ki_dates ? std::exp(x_min[l]) : kNoKnockInDate,
                                   std::exp(k[plan.terminal_slot])};
            add_path<Rule>(path, payout, knocked_in, sums);
        }
    }
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

template <class Block>
AutocallResult run_blocks(std::size_t n_paths, std::span<const double> spots, unsigned threads,
                          const Block& block) {
    const std::size_t n_blocks = n_paths / kPathBlock + (n_paths % kPathBlock != 0);
    const std::size_t width = checked_mul(2, spots.size(), "partial sums per block");
    std::vector<double> partial(checked_mul(n_blocks, width, "partial sums"), 0.0);
    for_each_block(n_blocks, threads, [&](std::size_t b) {
        const std::size_t first = b * kPathBlock;
        const std::size_t last = first + std::min(kPathBlock, n_paths - first);
        block(first, last, partial.data() + b * width);
    });
    return reduce(partial, n_blocks, spots, n_paths);
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
AutocallResult simulate_autocall(const AutocallTerms& terms, const BlackScholesInputs& market,
                                 const ObservationGrid& grid, const StridedMatrix<T>& draws,
                                 std::span<const double> spots, bool knocked_in,
                                 unsigned threads) {
    const std::size_t n_cols = grid.step_years.size();
    require(n_cols > 0, "the grid needs at least one trading day");
    require(std::isfinite(market.r) && std::isfinite(market.q) && std::isfinite(market.vol),
            "rate, dividend yield and volatility must be finite");
    for (double dt : grid.step_years)
        require(std::isfinite(dt) && dt >= 0.0, "step lengths must be finite and non-negative");
    require(draws.rows > 0, "the pool of normal draws has no rows");
    require(draws.cols == n_cols, "the pool must have one column per grid step (" +
                                      std::to_string(n_cols) + "), got " +
                                      std::to_string(draws.cols));
    check_common(terms, spots, grid.ko_columns, grid.coupons);
    check_columns(grid.ko_columns, n_cols, "knock-out");
    check_columns(grid.ki_columns, n_cols, "knock-in");

    const Plan plan = make_plan(market, grid);
    const std::vector<double> discount = discount_factors(market.r, grid.step_years);
    const Payout payout = make_payout(terms, grid.ko_columns, grid.coupons, discount, spots);
    return run_blocks(draws.rows, spots, threads, [&](std::size_t first, std::size_t last,
                                                      double* sums) {
        if (terms.rule == CouponRule::snowball)
            simulate_block<T, SnowballCoupons>(plan, payout, draws, first, last, knocked_in, sums);
        else
            simulate_block<T, PhoenixCoupons>(plan, payout, draws, first, last, knocked_in, sums);
    });
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
    return run_blocks(paths.rows, spots, threads, [&](std::size_t first, std::size_t last,
                                                      double* sums) {
        if (terms.rule == CouponRule::snowball)
            value_block<T, SnowballCoupons>(paths, ko_columns, ki_columns, payout, first, last,
                                            knocked_in, sums);
        else
            value_block<T, PhoenixCoupons>(paths, ko_columns, ki_columns, payout, first, last,
                                           knocked_in, sums);
    });
}

template AutocallResult simulate_autocall<float>(const AutocallTerms&, const BlackScholesInputs&,
                                                 const ObservationGrid&,
                                                 const StridedMatrix<float>&,
                                                 std::span<const double>, bool, unsigned);
template AutocallResult simulate_autocall<double>(const AutocallTerms&, const BlackScholesInputs&,
                                                  const ObservationGrid&,
                                                  const StridedMatrix<double>&,
                                                  std::span<const double>, bool, unsigned);
template AutocallResult value_paths<float>(const AutocallTerms&, const StridedMatrix<float>&,
                                           std::span<const std::int64_t>,
                                           std::span<const std::int64_t>, std::span<const double>,
                                           std::span<const double>, std::span<const double>, bool,
                                           unsigned);
template AutocallResult value_paths<double>(const AutocallTerms&, const StridedMatrix<double>&,
                                            std::span<const std::int64_t>,
                                            std::span<const std::int64_t>,
                                            std::span<const double>, std::span<const double>,
                                            std::span<const double>, bool, unsigned);

} // namespace velmora
