// Arithmetic average-price options by randomised quasi-Monte Carlo with a geometric control.
//
// Paths are built by a Brownian bridge over the remaining fixing times from scrambled Sobol
// points (velmora/sobol.hpp), so that the first, best spread coordinates carry the terminal
// value and the coarse shape of the path.  The control variate is the option on the discrete
// geometric average of all fixings, the known ones included; its exact value is the lognormal
// closed form (Kemna and Vorst, 1990, for the discrete average), and its coefficient is fitted
// on the paths.  Independent scramblings (replicates) are added until the standard error of
// their mean meets the target or the work cap stops them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::asian {

// Flat Black-Scholes market: spot, continuously compounded rate and dividend yield, volatility.
// Under curves and a vol term structure (deterministic rates, yields and vols), `variance`
// holds the total variance of log spot from the valuation date to each fixing still to come
// (in the order of the contract's fixing_times; 0 at a time 0, strictly ascending after),
// `log_forward` the log of the forward at each, and `discount_factor` the discount factor to
// maturity; rate, dividend and vol are then not used (vol must still be positive).
struct Market {
    double spot = 0.0;
    double rate = 0.0;
    double dividend = 0.0;
    double vol = 0.0;
    std::span<const double> log_forward = {};
    std::span<const double> variance = {};
    double discount_factor = 0.0;
};

// The contract seen from the valuation date.  Times are year fractions from it.  `fixing_times`
// are the fixings still to come, strictly ascending, each >= 0; one at time 0 is fixed at the
// spot.
// The known fixings enter through their count, their sum and the sum of their logarithms.
struct Contract {
    bool call = true;
    double strike = 0.0;
    double maturity = 0.0; // payment time, for discounting
    std::span<const double> fixing_times;
    std::size_t known_count = 0;
    double known_sum = 0.0;
    double known_log_sum = 0.0;

    void validate() const; // throws std::invalid_argument
};

struct Controls {
    double target_se = 0.0;           // absolute standard error to reach, or the cap
    std::size_t points = 256;         // points per replicate, a power of two
    std::size_t min_replicates = 8;   // replicates of the first round
    std::size_t max_paths = 1 << 20;  // work cap: at most this many paths in all
    std::size_t replicates = 0;       // > 0: exactly this many, no target (common numbers)
    std::uint64_t seed = 42;
    unsigned threads = 1;
    bool sobol = true; // false: independent pseudo-random uniforms (for comparison only)
};

struct Result {
    double value = 0.0;
    double standard_error = 0.0;
    double control_value = 0.0; // exact value of the geometric control
    double beta = 0.0;          // fitted control coefficient
    std::size_t paths = 0;
    std::size_t replicates = 0;
    bool capped = false; // the work cap stopped the replicates before the target was met
    bool exact = false;  // valued in closed form: no simulation, standard error 0
};

// Exact value of the call or put on the discrete geometric average of all fixings.
double geometric_value(const Contract& contract, const Market& market);

// Value of the call or put on the arithmetic average of all fixings.  Closed forms where the
// average is certain, linear in one remaining fixing, or the payoff linear (strike <= 0);
// otherwise the simulation above.  The same inputs and controls give the same bits on any
// thread count.
Result arithmetic_value(const Contract& contract, const Market& market,
                        const Controls& controls);

} // namespace velmora::asian
