// Finite-difference barrier solver: closed forms, convergence order, knocked and edge cases.
#include <cmath>
#include <stdexcept>
#include <string>

#include "check.hpp"
#include "velmora/pde.hpp"

using namespace velmora::pde;

namespace {

double ncdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

double black_scholes(bool call, double s, double k, double r, double q, double v, double t) {
    const double sd = v * std::sqrt(t);
    const double d1 = (std::log(s / k) + (r - q) * t) / sd + 0.5 * sd, d2 = d1 - sd;
    if (call)
        return s * std::exp(-q * t) * ncdf(d1) - k * std::exp(-r * t) * ncdf(d2);
    return k * std::exp(-r * t) * ncdf(-d2) - s * std::exp(-q * t) * ncdf(-d1);
}

// Reflection: a down-and-in call struck at or above the barrier, and an up-and-in put struck
// at or below it, are (B/S)^(2 nu / vol^2) times the vanilla at spot B^2/S (Merton 1973).
double reflected_in(bool call, double s, double k, double b, double r, double q, double v,
                    double t) {
    const double nu = r - q - 0.5 * v * v;
    return std::pow(b / s, 2.0 * nu / (v * v)) * black_scholes(call, b * b / s, k, r, q, v, t);
}

std::string tag(const char* what, double x) { return std::string(what) + " " + std::to_string(x); }

} // namespace

int main() {
    const Market mkt{100.0, 0.04, 0.015, 0.3};

    // European vanilla and knock-in/knock-out against closed forms, at a 1e-5 grid.
    for (double vol : {0.12, 0.45}) {
        const Market m{100.0, 0.04, 0.015, vol};
        for (bool call : {true, false}) {
            const Contract c{call, 104.0, false, 0.0, 1.25};
            const Grid g = choose_grid(c, m, 1e-5);
            const double exact = black_scholes(call, 100.0, 104.0, 0.04, 0.015, vol, 1.25);
            CHECK_CLOSE(vanilla_value(c, m, g), exact, 1e-5 * exact, tag("vanilla vol", vol));
            // barrier half a standard deviation away, beyond the strike
            const double level = 100.0 * std::exp((call ? -0.5 : 0.5) * vol * std::sqrt(1.25));
            const BarrierKind in = call ? BarrierKind::down_in : BarrierKind::up_in;
            const BarrierKind out = call ? BarrierKind::down_out : BarrierKind::up_out;
            const Contract cb{call, call ? 104.0 : 96.0, false, 0.0, 1.25}; // struck beyond it
            const double vin =
                reflected_in(call, 100.0, cb.strike, level, 0.04, 0.015, vol, 1.25);
            const double vvan = black_scholes(call, 100.0, cb.strike, 0.04, 0.015, vol, 1.25);
            const Grid gb = choose_grid(cb, m, 1e-5);
            CHECK_CLOSE(barrier_value(cb, {in, level, 0.0}, m, gb), vin, 1e-5 * vin,
                        tag("knock-in vol", vol));
            CHECK_CLOSE(barrier_value(cb, {out, level, 0.0}, m, gb), vvan - vin,
                        1e-5 * (vvan - vin), tag("knock-out vol", vol));
        }
    }

    // A call on a stock without dividends is never exercised early.
    {
        const Market m{100.0, 0.05, 0.0, 0.25};
        const Contract am{true, 100.0, true, 0.0, 1.0}, eu{true, 100.0, false, 0.0, 1.0};
        const Grid g{64, 96};
        CHECK_CLOSE(vanilla_value(am, m, g), vanilla_value(eu, m, g), 1e-9);
    }

    // Second order: halving both steps divides the error by about four, for an American
    // knock-out whose exercise region reaches the barrier and for an American knock-in.
    for (BarrierKind kind : {BarrierKind::up_out, BarrierKind::down_in}) {
        const Contract c{kind == BarrierKind::up_out, 100.0, true, 0.0, 1.0};
        const Barrier b{kind, kind == BarrierKind::up_out ? 120.0 : 85.0, 1.0};
        const Market m{105.0, 0.03, 0.02, 0.4};
        const double v1 = barrier_value(c, b, m, {32, 48});
        const double v2 = barrier_value(c, b, m, {64, 96});
        const double v3 = barrier_value(c, b, m, {128, 192});
        const double ratio = (v2 - v1) / (v3 - v2);
        CHECK(ratio > 3.0 && ratio < 6.0, tag("convergence ratio", ratio));
    }

    // Early exercise is worth something and never less than the payoff; the knock-in is an
    // American vanilla after the hit, so American >= European for both.
    for (BarrierKind kind : {BarrierKind::down_out, BarrierKind::down_in, BarrierKind::up_out,
                             BarrierKind::up_in}) {
        const bool down = kind == BarrierKind::down_out || kind == BarrierKind::down_in;
        const Barrier b{kind, down ? 85.0 : 118.0, 0.5};
        const Contract am{false, 102.0, true, 0.0, 1.0}, eu{false, 102.0, false, 0.0, 1.0};
        const Grid g = choose_grid(am, mkt);
        const double va = barrier_value(am, b, mkt, g), ve = barrier_value(eu, b, mkt, g);
        CHECK(va >= ve - 1e-12, tag("american below european, kind", static_cast<int>(kind)));
        if (kind == BarrierKind::down_out || kind == BarrierKind::up_out)
            CHECK(va >= 2.0 - 1e-12, tag("below payoff, kind", static_cast<int>(kind)));
    }

    // An exercise window that opens after expiry leaves a European option.
    {
        const Contract late{false, 102.0, true, 5.0, 1.0}, eu{false, 102.0, false, 0.0, 1.0};
        const Barrier b{BarrierKind::down_out, 80.0, 0.0};
        const Grid g{32, 48};
        CHECK_CLOSE(barrier_value(late, b, mkt, g), barrier_value(eu, b, mkt, g), 1e-12);
    }

    // A rebate above the payoff at the barrier makes waiting for the hit worth more than
    // exercise next to it: the value there tends to the rebate, and no value is below the
    // payoff anywhere.
    {
        const Contract c{true, 100.0, true, 0.0, 1.0};
        const Barrier b{BarrierKind::up_out, 120.0, 40.0};
        const Market near{119.5, 0.03, 0.02, 0.4};
        const double v = barrier_value(c, b, near, {64, 96});
        CHECK(v > 19.5 && v < 40.0, tag("near the barrier", v));
        const double far = barrier_value(c, b, {100.0, 0.03, 0.02, 0.4}, {64, 96});
        CHECK(far > barrier_value(c, {BarrierKind::up_out, 120.0, 0.0},
                                  {100.0, 0.03, 0.02, 0.4}, {64, 96}),
              "a rebate adds value");
    }

    // The early-exercise iteration of that case: on grids where the drift outweighs the
    // diffusion between nodes (no monotone stencil) it settles or is refused, never returns
    // a value outside [payoff, max(rebate, payoff at the barrier)]; on the usual grids it
    // settles, and the value converges as the grid refines.
    {
        const Contract c{true, 100.0, true, 0.0, 1.0};
        const Barrier b{BarrierKind::up_out, 120.0, 40.0};
        for (double vol : {0.02, 0.05, 0.4})
            for (int steps : {2, 4, 64}) {
                const Market m{110.0, 0.5, 0.0, vol};
                try {
                    const double v = barrier_value(c, b, m, {steps, 8});
                    CHECK(v >= 10.0 - 1e-9 && v <= 40.0 + 1e-9, tag("bounded", v));
                } catch (const std::runtime_error&) {
                    CHECK(steps < 64, "refused only on a grid too coarse for its drift");
                }
            }
        const Market m{110.0, 0.03, 0.02, 0.4};
        CHECK_CLOSE(barrier_value(c, b, m, {128, 192}), barrier_value(c, b, m, {256, 384}), 2e-2);
    }

    // Spot on or beyond the barrier: knocked.  Expiry: the payoff or the rebate.
    {
        const Contract c{true, 100.0, true, 0.0, 1.0};
        const Grid g{32, 48};
        CHECK(barrier_value(c, {BarrierKind::up_out, 120.0, 3.0}, {120.0, 0.03, 0.0, 0.3}, g) ==
              3.0);
        CHECK_CLOSE(barrier_value(c, {BarrierKind::up_in, 120.0, 3.0}, {125.0, 0.03, 0.0, 0.3}, g),
                    vanilla_value(c, {125.0, 0.03, 0.0, 0.3}, g), 1e-12);
        const Contract expiring{true, 100.0, true, 0.0, 0.0};
        CHECK(barrier_value(expiring, {BarrierKind::up_out, 120.0, 3.0}, {110.0, 0.03, 0.0, 0.3},
                            g) == 10.0);
        CHECK(barrier_value(expiring, {BarrierKind::up_in, 120.0, 3.0}, {110.0, 0.03, 0.0, 0.3},
                            g) == 3.0);
    }

    // A barrier too far to be hit: the knock-out is its vanilla, the knock-in its rebate.
    {
        const Contract c{false, 100.0, true, 0.0, 0.5};
        const Grid g{32, 48};
        CHECK_CLOSE(barrier_value(c, {BarrierKind::up_out, 400.0, 1.0}, mkt, g),
                    vanilla_value(c, mkt, g), 1e-9);
        CHECK_CLOSE(barrier_value(c, {BarrierKind::up_in, 400.0, 1.0}, mkt, g),
                    std::exp(-0.04 * 0.5), 1e-12);
    }

    // Bad inputs are refused.
    {
        const Contract c{true, 100.0, true, 0.0, 1.0};
        const Barrier b{BarrierKind::up_out, 120.0, 0.0};
        CHECK_THROWS(std::invalid_argument, barrier_value(c, b, {100.0, 0.03, 0.0, 0.0}, {32, 48}));
        CHECK_THROWS(std::invalid_argument, barrier_value(c, b, {-1.0, 0.03, 0.0, 0.2}, {32, 48}));
        CHECK_THROWS(std::invalid_argument,
                     barrier_value(c, {BarrierKind::up_out, NAN, 0.0}, mkt, {32, 48}));
        CHECK_THROWS(std::invalid_argument, barrier_value(c, b, mkt, {1, 48}));
        CHECK_THROWS(std::invalid_argument, barrier_value(c, b, mkt, {1000000, 1000000}));
        CHECK_THROWS(std::invalid_argument,
                     barrier_value({true, 100.0, true, 0.0, -1.0}, b, mkt, {32, 48}));
        CHECK_THROWS(std::invalid_argument, choose_grid(c, mkt, 0.0));
    }
    // A degenerate diffusion is its deterministic limit: an American call at r 50% is held
    // to expiry, S - K e^(-rT); a down-and-in put whose path reaches the barrier at
    // tau = ln(B/S) / (r - q) becomes the put then, exercised at once or at the best time.
    {
        const Contract c{true, 100.0, true, 0.0, 3.0};
        const Market m{100.0, 0.5, 0.0, 1e-6};
        CHECK_CLOSE(barrier_value(c, {BarrierKind::up_out, 1e6, 0.0}, m, choose_grid(c, m)),
                    100.0 - 100.0 * std::exp(-1.5), 1e-12);
        const Contract put{false, 100.0, true, 0.0, 3.0};
        const Market down{100.0, 0.0, 0.2, 1e-6}; // carry -20%: at 80 after ln(1.25)/0.2
        const double v = barrier_value(put, {BarrierKind::down_in, 80.0, 0.0}, down, {32, 48});
        const double s_end = 100.0 * std::exp(-0.2 * 3.0); // the put pays most at expiry
        CHECK_CLOSE(v, 100.0 - s_end, 1e-12, "deterministic knock-in put");
    }

    // Beyond the work budget, and sizes beyond the solver: refused by name, never a NaN.
    {
        const Contract c{true, 100.0, true, 0.0, 50.0};
        CHECK_THROWS(std::invalid_argument, choose_grid(c, {100.0, 0.03, 0.0, 50.0}));
        const Contract far{true, 1e-3, false, 0.0, 1.0};
        CHECK_THROWS(std::invalid_argument,
                     barrier_value(far, {BarrierKind::down_out, 1e-4, 0.0},
                                   {1e8, 0.02, 0.0, 0.01}, {1000000, 2}));
    }
    return check::summary("test_pde");
}
