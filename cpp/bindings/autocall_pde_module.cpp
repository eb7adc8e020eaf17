// velmora._core: Python glue for the finite-difference autocallable solver (conversion only).
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "velmora/autocall_pde.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace pde = velmora::autocall_pde;

namespace {

velmora::CouponRule coupon_rule(const std::string& rule) {
    if (rule == "snowball")
        return velmora::CouponRule::snowball;
    if (rule == "phoenix")
        return velmora::CouponRule::phoenix;
    throw nb::value_error(("unknown coupon rule '" + rule + "'; accepted values: snowball, phoenix")
                              .c_str());
}

std::tuple<std::vector<double>, double, double, std::size_t, std::pair<double, int>>
solve(const std::vector<std::int64_t>& column_days, const std::vector<std::int64_t>& ko_columns,
      const std::vector<std::int64_t>& ki_columns, const std::vector<double>& coupons,
      const std::vector<double>& spots,
      const std::vector<std::tuple<double, double, double>>& scenarios,
      const std::vector<std::pair<std::int64_t, bool>>& readings, double strike,
      double ki_barrier, double ko_barrier, const std::string& rule, double space_per_day_sd,
      int steps_per_interval,
      const std::vector<std::tuple<std::vector<double>, std::vector<double>,
                                   std::vector<std::int64_t>, double, double, std::size_t,
                                   std::vector<double>>>& markets) {
    const velmora::AutocallTerms terms{strike, ki_barrier, ko_barrier, coupon_rule(rule)};
    std::vector<pde::Scenario> sc;
    for (const auto& [r, q, vol] : scenarios)
        sc.push_back({r, q, vol});
    std::vector<pde::Reading> rd;
    for (const auto& [day, knocked_in] : readings)
        rd.push_back({day, knocked_in});
    if (space_per_day_sd < 0 || steps_per_interval < 0)
        throw nb::value_error("grid steps must be positive (0 chooses them automatically)");
    const pde::Grid grid{space_per_day_sd, steps_per_interval};
    const pde::Schedule schedule{column_days, ko_columns, ki_columns, coupons};
    std::vector<velmora::LocalMarket> local;
    for (const auto& [rate, yield, vol_days, x0, dx, nodes, vol] : markets)
        local.push_back({rate, yield, vol_days, x0, dx, nodes, vol});
    pde::Result res;
    {
        nb::gil_scoped_release release;
        res = pde::solve(terms, schedule, sc, spots, rd, grid, local);
    }
    return {std::move(res.values), res.space_step, res.lower, res.nodes,
            {res.grid.space_per_day_sd, res.grid.steps_per_interval}};
}

} // namespace

void bind_autocall_pde(nb::module_& m) {
    m.def("autocall_pde", &solve, "column_days"_a, "ko_columns"_a, "ki_columns"_a, "coupons"_a,
          "spots"_a, "scenarios"_a, "readings"_a, nb::kw_only(), "strike"_a, "ki_barrier"_a,
          "ko_barrier"_a, "rule"_a, "space_per_day_sd"_a = 0, "steps_per_interval"_a = 0,
          "markets"_a = nb::list(),
          "Value a snowball or phoenix note by finite differences in log spot.\n\n"
          "`column_days`: calendar days from the valuation date to each trading day of the\n"
          "grid (the last is maturity); `scenarios`: (r, q, vol) triples solved on the grid\n"
          "of the first; `readings`: (day, knocked_in) pairs.  Returns (values, space_step,\n"
          "lower, nodes, (space_per_day_sd, steps_per_interval)): the values flat in the\n"
          "order [reading][scenario][spot], the step and first node of the finer grid in\n"
          "log spot, the nodes of both grids and the grid used; grid entries of 0 are\n"
          "chosen automatically.  `markets`, if given, holds one local market per scenario,\n"
          "(rate, yield, vol_days, x0, dx, nodes, vol) as for simulate_local, solved in\n"
          "place of the scenario's r, q and vol (which then set the grid only).");
}
