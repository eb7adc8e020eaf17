// Finite-difference valuation of single-barrier and vanilla options under Black-Scholes.
//
// The solver works in log spot on a uniform grid with the barrier on a node.  Time steps are
// Crank-Nicolson after a few implicit Euler half-steps at the start (Rannacher), so that the
// kink of the payoff and the jump at the barrier do not leave oscillations behind.  The payoff
// is averaged over each node's cell, which keeps the convergence smooth and of second order in
// both the space and the time step whatever the strike.  Early exercise is a projection on the
// payoff inside the tridiagonal solve (Brennan-Schwartz), or a penalty iteration where the
// exercise region need not lie on one side of the grid.
#pragma once

#include <span>

namespace velmora::pde {

enum class BarrierKind { down_in, down_out, up_in, up_out };

// Flat market: continuously compounded rate and dividend yield, constant volatility.
// Under curves and a vol term structure (deterministic coefficients) `times` (years from the
// valuation, ascending from 0, reaching maturity) carries the integrals from the valuation of
// the rate, the dividend yield and the variance, linear in time between the times; each
// time step then takes their means over the step (and the far ends and rebates their
// discount factors), while rate, dividend and vol stand for the life as a whole (their values
// to maturity) where the grid is chosen and the bounds checked.
struct Market {
    double spot = 0.0;
    double rate = 0.0;
    double dividend = 0.0;
    double vol = 0.0;
    std::span<const double> times = {};
    std::span<const double> int_rate = {};
    std::span<const double> int_dividend = {};
    std::span<const double> int_variance = {};
};

// A plain-vanilla call or put.  Times are in years from the valuation.
struct Contract {
    bool call = true;
    double strike = 0.0;
    bool american = false;
    double exercise_from = 0.0; // early exercise allowed from this time on (American only)
    double maturity = 0.0;
};

// A knock-out pays its rebate the moment the barrier is hit; a knock-in that never knocks in
// pays its rebate at expiry.  A knock-in becomes the vanilla `Contract` (American or European)
// at the hit.
struct Barrier {
    BarrierKind kind = BarrierKind::down_out;
    double level = 0.0;
    double rebate = 0.0;
};

// Resolution: space steps per standard deviation of log spot over the life (vol * sqrt(T)),
// and the number of time steps.  Doubling both halves the step in space and in time.
struct Grid {
    int steps_per_sd = 0;
    int time_steps = 0;
};

// The grid that meets a relative `tolerance` on the value (1e-3 by default), chosen from the
// maturity and the volatility (through vol * sqrt(T) and the drift over the life).
Grid choose_grid(const Contract& contract, const Market& market, double tolerance = 1e-3);

// Value of the vanilla contract on the grid.
double vanilla_value(const Contract& contract, const Market& market, const Grid& grid);

// Value of the barrier contract, continuously monitored from now to maturity.  A spot at or
// beyond the barrier has hit it: a knock-out is worth its rebate, a knock-in its vanilla.
double barrier_value(const Contract& contract, const Barrier& barrier, const Market& market,
                     const Grid& grid);

} // namespace velmora::pde
