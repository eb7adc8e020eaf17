// Monte Carlo valuation of snowball and phoenix notes over a fixed pool of normal draws.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "velmora/local_market.hpp"
#include "velmora/strided.hpp"
#include "velmora/terms.hpp"

// The templates below are defined and instantiated in autocall.cpp, for pools and paths of
// float and of double; those are the only element types there are.

namespace velmora {

// Paths are cut into blocks of this many, whatever the thread count; each block keeps its
// own double-precision partial sums, which are added in block order.  So the result is the
// same to the last bit for 1, 2 or N threads.
inline constexpr std::size_t kPathBlock = 2048;

// exp(-r t_j), t_j the running sum of the step lengths.
std::vector<double> discount_factors(double r, std::span<const double> step_years);

// Simulates every row of `draws` (one path per row, one standard normal draw per grid
// column) as a geometric Brownian motion started at 1 on the valuation date, and values
// the note on it for every spot in `spots` (the paths are ratios S_t/spot, shared by all
// scenarios).  One pass per path: the log-price is accumulated in double precision column
// by column and only the observed points are kept; no matrix of paths is formed.
//
// `knocked_in`: a knock-in has already been observed before the valuation date.
// Throws std::invalid_argument for inconsistent sizes or non-finite inputs and
// std::out_of_range for an observation column outside the grid.
template <class T>
AutocallResult simulate_autocall(const AutocallTerms& terms, const BlackScholesInputs& market,
                                 const ObservationGrid& grid, const StridedMatrix<T>& draws,
                                 std::span<const double> spots, bool knocked_in,
                                 unsigned threads);

// One set of market inputs and one grid, valued for one or more spots, in a pass that serves
// several such groups at once: the base valuation and its bumped ones, or the valuation from
// the next calendar day.  A group with an N-step grid reads the first N columns of the pool.
// How the standard error of a group's values is estimated, if at all.  The paths of an
// antithetic pool are not independent: row m + M/2 is the negation of row m.  Each such pair's
// mean payoff is then one independent sample (of M/2), which also credits the variance the
// pairing removes.
enum class SampleError { none, paths, antithetic_pairs };

struct ScenarioGroup {
    BlackScholesInputs market;
    ObservationGrid grid;
    std::span<const double> spots;
    bool knocked_in; // a knock-in has already been observed before this group's date
    SampleError sample_error = SampleError::none;
};

// Every group of `groups` from one pass over `draws`: one result per group, each equal to the
// bit to simulate_autocall of that group alone on the first columns of `draws`.  A group that
// asks for a standard error also gets one per spot (`AutocallResult::standard_errors`), from
// the per-path payoffs of that pass; its values keep their bits.
template <class T>
std::vector<AutocallResult> simulate_autocall_groups(const AutocallTerms& terms,
                                                     std::span<const ScenarioGroup> groups,
                                                     const StridedMatrix<T>& draws,
                                                     unsigned threads);

// Values the note on given paths (rows; ratios S_t/spot per grid column, the last column
// at maturity) with the same payoff code.  `discount` holds one factor per column.
template <class T>
AutocallResult value_paths(const AutocallTerms& terms, const StridedMatrix<T>& paths,
                           std::span<const std::int64_t> ko_columns,
                           std::span<const std::int64_t> ki_columns,
                           std::span<const double> discount, std::span<const double> coupons,
                           std::span<const double> spots, bool knocked_in, unsigned threads);

// A valuation under a local market (deterministic rates and yields per day, local vol by day
// and log spot): the grid, the calendar day of each column from the valuation date, the
// market, the spots and the knock-in state.
struct LocalGroup {
    ObservationGrid grid;
    std::span<const std::int64_t> column_days;
    LocalMarket market;
    std::span<const double> spots;
    bool knocked_in;
};

// The discounted value of every path of `draws` for every spot, [spot][path], under a local
// market: log spot stepped column by column (Euler), with the step's mean forward rate and
// yield and the local vol at the path's level and the step's first day.  Each spot walks its
// own paths (the local vol depends on the level).  A plain loop, not the vectorised kernel;
// every path's value lands in its own slot, so the result does not depend on the threads.
template <class T>
std::vector<double> simulate_autocall_local(const AutocallTerms& terms, const LocalGroup& group,
                                            const StridedMatrix<T>& draws, unsigned threads);

} // namespace velmora
