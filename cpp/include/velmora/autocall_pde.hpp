// Finite-difference valuation of snowball and phoenix notes: two layers in log spot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velmora/local_market.hpp"
#include "velmora/terms.hpp"

namespace velmora::autocall_pde {

// The observation calendar of one valuation, in whole calendar days from the valuation date
// (year fractions are days / 365, as in the Monte Carlo engine).
struct Schedule {
    std::span<const std::int64_t> column_days; // each trading day of the grid, strictly
                                               // increasing and >= 0; the last is maturity
    std::span<const std::int64_t> ko_columns;  // remaining knock-out dates (positions in
                                               // column_days), strictly increasing
    std::span<const std::int64_t> ki_columns;  // remaining knock-in dates
    std::span<const double> coupons;           // undiscounted coupon of each knock-out date
};

// One set of market inputs; all scenarios of a solve share the grid of the first.
struct Scenario {
    double r;
    double q;
    double vol;
};

// Where values are read: a calendar day of the grid (0 = the valuation date) and whether a
// knock-in has been observed before that day.  Observations on the day itself are applied
// at each spot exactly (strict comparisons), after the continuation is interpolated.
struct Reading {
    std::int64_t day;
    bool knocked_in;
};

// The resolution: space steps per one-day standard deviation of log spot (at the first
// scenario's volatility) on the coarser of the two space grids, and time steps per interval
// between two consecutive trading days (or reading days).
struct Grid {
    double space_per_day_sd;
    int steps_per_interval;
};

// The automatic grid for a note `years` from maturity at volatility `vol`, whose nearest spot
// is `knock_in_distance` one-day standard deviations of log spot from a knock-in barrier that
// can still be crossed (infinity when none can).
Grid choose_grid(double years, double vol, double knock_in_distance);

struct Result {
    std::size_t scenarios = 0;
    std::size_t spots = 0;
    std::vector<double> values; // [reading][scenario][spot]
    double space_step = 0.0;    // in log spot
    std::size_t nodes = 0;
    double lower = 0.0; // log spot of the first node
    Grid grid{0.0, 0};  // the grid used

    double at(std::size_t reading, std::size_t scenario, std::size_t spot) const {
        return values[(reading * scenarios + scenario) * spots + spot];
    }
};

// Solves the note backwards from maturity on one log-spot grid: a layer for paths that have
// not knocked in and one for paths that have.  Knock-out and knock-in are applied on their
// dates only, the coupons as the note's rule pays them, the loss min(S_T - strike, 0) at
// maturity in the knocked-in layer.  Both barriers sit half-way between nodes; time steps
// are Crank-Nicolson, with two implicit half steps after each observation (Rannacher),
// extrapolated with one implicit full step.  Two space grids, the second with half the
// step, are extrapolated: (4 fine - coarse) / 3; the coarse grid solves the first scenario
// only and its correction applies to all.  A grid with a zero entry is chosen automatically
// (choose_grid) and reported in the result.
//
// A snowball path that neither knocks in nor out is paid the coupon of the last knock-out
// date, discounted from that date.  A knock-out level of +infinity or the largest double
// never knocks out.  Throws std::invalid_argument for inconsistent or non-finite inputs and
// std::out_of_range for a column outside the schedule.
//
// `markets`, when not empty, holds one local market per scenario (rates, yields and local
// vols by day and log spot, see local_market.hpp) that replaces the scenario's r, q and vol
// in the equation; the scenario's vol then only sets the grid.  Each interval between two
// stops takes its mean forward rate and yield and the local vol of the row in force on its
// first day, node by node (as the Monte Carlo engine's step does); the grid reaches
// further when the root mean square local vol over the paths' range exceeds the
// scenarios' vols.
Result solve(const AutocallTerms& terms, const Schedule& schedule,
             std::span<const Scenario> scenarios, std::span<const double> spots,
             std::span<const Reading> readings, const Grid& grid,
             std::span<const LocalMarket> markets = {});

} // namespace velmora::autocall_pde
