// velmora._core: Python glue for the arithmetic asian engine (conversion only).
#include <cstdint>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>
#include <nanobind/ndarray.h>

#include "velmora/asian_mc.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using Times = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

velmora::asian::Contract contract(bool call, double strike, double maturity, const Times& times,
                                  std::size_t known_count, double known_sum,
                                  double known_log_sum) {
    return {call, strike, maturity, {times.data(), times.shape(0)}, known_count, known_sum,
            known_log_sum};
}

nb::dict arithmetic(bool call, double strike, double maturity, const Times& fixing_times,
                    std::size_t known_count, double known_sum, double known_log_sum, double spot,
                    double rate, double dividend, double vol, double target_se,
                    std::size_t max_paths, std::size_t replicates, std::uint64_t seed,
                    unsigned threads, std::size_t points, std::size_t min_replicates,
                    bool sobol, const std::vector<double>& log_forward,
                    const std::vector<double>& variance, double discount_factor) {
    const auto c = contract(call, strike, maturity, fixing_times, known_count, known_sum,
                            known_log_sum);
    const velmora::asian::Market m{spot, rate, dividend, vol, log_forward, variance,
                                   discount_factor};
    const velmora::asian::Controls k{target_se, points,     min_replicates, max_paths,
                                     replicates, seed,      threads,        sobol};
    velmora::asian::Result r;
    {
        nb::gil_scoped_release release;
        r = velmora::asian::arithmetic_value(c, m, k);
    }
    nb::dict out;
    out["value"] = r.value;
    out["standard_error"] = r.standard_error;
    out["control_value"] = r.control_value;
    out["beta"] = r.beta;
    out["paths"] = r.paths;
    out["replicates"] = r.replicates;
    out["capped"] = r.capped;
    out["exact"] = r.exact;
    return out;
}

double geometric(bool call, double strike, double maturity, const Times& fixing_times,
                 std::size_t known_count, double known_sum, double known_log_sum, double spot,
                 double rate, double dividend, double vol, const std::vector<double>& log_forward,
                 const std::vector<double>& variance, double discount_factor) {
    const auto c = contract(call, strike, maturity, fixing_times, known_count, known_sum,
                            known_log_sum);
    nb::gil_scoped_release release;
    return velmora::asian::geometric_value(
        c, {spot, rate, dividend, vol, log_forward, variance, discount_factor});
}

} // namespace

void bind_asian(nb::module_& m) {
    m.def("asian_arithmetic", &arithmetic, nb::kw_only(), "call"_a, "strike"_a, "maturity"_a,
          "fixing_times"_a, "known_count"_a, "known_sum"_a, "known_log_sum"_a, "spot"_a,
          "rate"_a, "dividend"_a, "vol"_a, "target_se"_a, "max_paths"_a, "replicates"_a = 0,
          "seed"_a = 42, "threads"_a = 1, "points"_a = 256, "min_replicates"_a = 8,
          "sobol"_a = true, "log_forward"_a = std::vector<double>{},
          "variance"_a = std::vector<double>{}, "discount_factor"_a = 0.0,
          "Arithmetic average-price call or put by randomised quasi-Monte Carlo.\n\n"
          "Times in years from the valuation; the known fixings by count, sum and sum of\n"
          "logarithms.  Under curves and a vol term structure: the log forward and total\n"
          "variance at each fixing still to come and the discount factor to maturity\n"
          "(rate, dividend and vol then unused).  Returns a dict: value, standard_error,\n"
          "control_value, beta, paths, replicates, capped, exact.");
    m.def("asian_geometric", &geometric, nb::kw_only(), "call"_a, "strike"_a, "maturity"_a,
          "fixing_times"_a, "known_count"_a, "known_sum"_a, "known_log_sum"_a, "spot"_a,
          "rate"_a, "dividend"_a, "vol"_a, "log_forward"_a = std::vector<double>{},
          "variance"_a = std::vector<double>{}, "discount_factor"_a = 0.0,
          "Exact value of the call or put on the discrete geometric average of all fixings\n"
          "(under a term structure as for asian_arithmetic).");
}
