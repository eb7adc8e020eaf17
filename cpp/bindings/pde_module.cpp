// velmora._core: Python glue for the finite-difference barrier solver (conversion only).
#include <string>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "velmora/pde.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

velmora::pde::BarrierKind barrier_kind(const std::string& kind) {
    using velmora::pde::BarrierKind;
    if (kind == "down_and_in")
        return BarrierKind::down_in;
    if (kind == "down_and_out")
        return BarrierKind::down_out;
    if (kind == "up_and_in")
        return BarrierKind::up_in;
    if (kind == "up_and_out")
        return BarrierKind::up_out;
    throw nb::value_error(("unknown barrier type '" + kind +
                           "'; accepted values: down_and_in, down_and_out, up_and_in, up_and_out")
                              .c_str());
}

// A zero entry of the grid is filled from the automatic choice for the tolerance.
velmora::pde::Grid grid_for(const velmora::pde::Contract& c, const velmora::pde::Market& m,
                            int steps_per_sd, int time_steps, double tolerance) {
    if (steps_per_sd < 0 || time_steps < 0)
        throw nb::value_error("grid steps must be positive (0 chooses them automatically)");
    velmora::pde::Grid g{steps_per_sd, time_steps};
    if (steps_per_sd == 0 || time_steps == 0) {
        const auto chosen = velmora::pde::choose_grid(c, m, tolerance);
        if (g.steps_per_sd == 0)
            g.steps_per_sd = chosen.steps_per_sd;
        if (g.time_steps == 0)
            g.time_steps = chosen.time_steps;
    }
    return g;
}

double barrier(bool call, double strike, const std::string& kind, double level, double rebate,
               bool american, double exercise_from, double maturity, double spot, double rate,
               double dividend, double vol, int steps_per_sd, int time_steps, double tolerance,
               const std::vector<double>& times, const std::vector<double>& int_rate,
               const std::vector<double>& int_dividend, const std::vector<double>& int_variance) {
    const velmora::pde::Contract c{call, strike, american, exercise_from, maturity};
    const velmora::pde::Barrier b{barrier_kind(kind), level, rebate};
    const velmora::pde::Market m{spot, rate, dividend, vol, times, int_rate, int_dividend,
                                 int_variance};
    const auto g = grid_for(c, m, steps_per_sd, time_steps, tolerance);
    nb::gil_scoped_release release;
    return velmora::pde::barrier_value(c, b, m, g);
}

double vanilla(bool call, double strike, bool american, double exercise_from, double maturity,
               double spot, double rate, double dividend, double vol, int steps_per_sd,
               int time_steps, double tolerance) {
    const velmora::pde::Contract c{call, strike, american, exercise_from, maturity};
    const velmora::pde::Market m{spot, rate, dividend, vol};
    const auto g = grid_for(c, m, steps_per_sd, time_steps, tolerance);
    nb::gil_scoped_release release;
    return velmora::pde::vanilla_value(c, m, g);
}

std::pair<int, int> grid(bool call, double strike, bool american, double exercise_from,
                         double maturity, double spot, double rate, double dividend, double vol,
                         double tolerance) {
    const velmora::pde::Contract c{call, strike, american, exercise_from, maturity};
    const velmora::pde::Market m{spot, rate, dividend, vol};
    const auto g = velmora::pde::choose_grid(c, m, tolerance);
    return {g.steps_per_sd, g.time_steps};
}

} // namespace

void bind_pde(nb::module_& m) {
    m.def("pde_barrier", &barrier, nb::kw_only(), "call"_a, "strike"_a, "kind"_a, "level"_a,
          "rebate"_a, "american"_a, "exercise_from"_a, "maturity"_a, "spot"_a, "rate"_a,
          "dividend"_a, "vol"_a, "steps_per_sd"_a = 0, "time_steps"_a = 0, "tolerance"_a = 1e-3,
          "times"_a = std::vector<double>{}, "int_rate"_a = std::vector<double>{},
          "int_dividend"_a = std::vector<double>{}, "int_variance"_a = std::vector<double>{},
          "Value a continuously monitored single-barrier option by finite differences.\n\n"
          "Times in years from the valuation.  A knock-out pays its rebate at the hit, a\n"
          "knock-in at expiry if it never knocked in.  Grid steps of 0 are chosen for the\n"
          "relative `tolerance`.  Under curves and a vol term structure: `times` and the\n"
          "integrals from the valuation of the rate, dividend yield and variance at each\n"
          "(rate, dividend and vol then stand for the whole life).");
    m.def("pde_vanilla", &vanilla, nb::kw_only(), "call"_a, "strike"_a, "american"_a,
          "exercise_from"_a, "maturity"_a, "spot"_a, "rate"_a, "dividend"_a, "vol"_a,
          "steps_per_sd"_a = 0, "time_steps"_a = 0, "tolerance"_a = 1e-3,
          "Value a vanilla option on the same finite-difference solver.");
    m.def("pde_grid", &grid, nb::kw_only(), "call"_a, "strike"_a, "american"_a,
          "exercise_from"_a, "maturity"_a, "spot"_a, "rate"_a, "dividend"_a, "vol"_a,
          "tolerance"_a = 1e-3,
          "The automatic grid (space steps per standard deviation, time steps).");
}
