// velmora._core: Python glue for the C++ autocallable engine (conversion only), and the
// module that gathers every binding of the core.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>
#include <type_traits>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "velmora/autocall.hpp"
#include "velmora/simd.hpp"
#include "velmora/sizes.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// An array argument read as its values really are.  A torch tensor may carry a pending
// negation or conjugation (a view made by neg() or conj()); DLPack does not convey these
// bits, so the memory would be read without them.  Such a tensor is resolved (copied with
// the bit applied) first.  Integer arguments refuse floating-point arrays instead of
// truncating them.
template <class Array>
struct Plain : Array {};

} // namespace

namespace nanobind::detail {

template <class Array>
struct type_caster<Plain<Array>> {
    using Inner = make_caster<Array>;
    NB_TYPE_CASTER(Plain<Array>, Inner::Name)

    static bool has_bit(handle src, const char* method) {
        return hasattr(src, method) && cast<bool>(src.attr(method)());
    }

    static bool holds_fractions(handle src, cleanup_list* cleanup) {
        make_caster<ndarray<>> any;
        if (!any.from_python(src, 0, cleanup))
            return false;
        const auto code = static_cast<dlpack::dtype_code>(any.value.dtype().code);
        return code == dlpack::dtype_code::Float || code == dlpack::dtype_code::Bfloat ||
               code == dlpack::dtype_code::Complex;
    }

    template <class Flags>
    bool from_python(handle src, Flags flags, cleanup_list* cleanup) noexcept {
        Inner inner;
        try {
            object plain = borrow(src);
            if (has_bit(src, "is_neg") || has_bit(src, "is_conj")) {
                plain = src.attr("resolve_neg")().attr("resolve_conj")();
                if (cleanup)
                    cleanup->append(plain.inc_ref().ptr());
            }
            using Scalar = std::remove_cv_t<typename Array::Scalar>;
            if constexpr (std::is_integral_v<Scalar>)
                if (holds_fractions(plain, cleanup))
                    return false;
            if (!inner.from_python(plain, flags, cleanup))
                return false;
        } catch (...) {
            PyErr_Clear();
            return false;
        }
        static_cast<Array&>(value) = std::move(inner.value);
        return true;
    }
};

} // namespace nanobind::detail

namespace {

// Any 2-D CPU array of float32 or float64 with any non-negative strides: a torch tensor or
// a column slice of one is read in place (DLPack / buffer protocol), never copied.
using Matrix = Plain<nb::ndarray<nb::ro, nb::ndim<2>, nb::device::cpu>>;
using Doubles = Plain<nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>>;
using Columns =
    Plain<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>>;

template <class T>
velmora::StridedMatrix<T> as_view(const Matrix& a) {
    const std::int64_t rs = a.stride(0), cs = a.stride(1);
    if (rs < 0 || cs < 0)
        throw nb::value_error("arrays with negative strides are not supported");
    const auto rows = static_cast<std::size_t>(a.shape(0));
    const auto cols = static_cast<std::size_t>(a.shape(1));
    const std::size_t n = velmora::StridedMatrix<T>::extent(rows, cols, rs, cs);
    velmora::checked_mul(n, sizeof(T), "array size in bytes");
    return velmora::StridedMatrix<T>({static_cast<const T*>(a.data()), n}, rows, cols,
                                     static_cast<std::size_t>(rs), static_cast<std::size_t>(cs));
}

template <class T>
std::span<const T> as_span(const Plain<nb::ndarray<const T, nb::ndim<1>, nb::c_contig,
                                                   nb::device::cpu>>& a) {
    return {a.data(), a.shape(0)};
}

velmora::AutocallTerms make_terms(double strike, double ki_barrier, double ko_barrier,
                                  const std::string& rule) {
    velmora::CouponRule r;
    if (rule == "snowball")
        r = velmora::CouponRule::snowball;
    else if (rule == "phoenix")
        r = velmora::CouponRule::phoenix;
    else
        throw nb::value_error(("unknown coupon rule '" + rule +
                               "'; accepted values: snowball, phoenix").c_str());
    return {strike, ki_barrier, ko_barrier, r};
}

nb::tuple pack(const velmora::AutocallResult& res) {
    nb::list scenarios;
    for (const auto& s : res.scenarios)
        scenarios.append(nb::make_tuple(s.spot, s.coupon_total, s.loss_total));
    return nb::make_tuple(res.paths, scenarios);
}

// `kernel` run on a view of `m` with the interpreter lock released.
template <class T, class Kernel>
auto run_released(const Matrix& m, const Kernel& kernel) {
    const auto view = as_view<T>(m);
    nb::gil_scoped_release release;
    return kernel(view);
}

// `kernel` (a generic lambda of one view) run on `m` as float32 or float64 values.
template <class Kernel>
auto dispatch(const Matrix& m, const char* name, const Kernel& kernel) {
    if (m.dtype() == nb::dtype<float>())
        return run_released<float>(m, kernel);
    if (m.dtype() == nb::dtype<double>())
        return run_released<double>(m, kernel);
    throw nb::type_error((std::string(name) + " must hold float32 or float64 values").c_str());
}

nb::tuple simulate(const Matrix& draws, const Doubles& step_years, const Columns& ko_columns,
                   const Columns& ki_columns, const Doubles& coupons, const Doubles& spots,
                   double r, double q, double vol, double strike, double ki_barrier,
                   double ko_barrier, const std::string& rule, bool knocked_in,
                   unsigned threads) {
    const auto terms = make_terms(strike, ki_barrier, ko_barrier, rule);
    const velmora::BlackScholesInputs market{r, q, vol};
    const velmora::ObservationGrid grid{as_span(step_years), as_span(ko_columns),
                                        as_span(ki_columns), as_span(coupons)};
    const auto spot_span = as_span(spots);
    return pack(dispatch(draws, "draws", [&](const auto& view) {
        return velmora::simulate_autocall(terms, market, grid, view, spot_span, knocked_in,
                                          threads);
    }));
}

// One scenario group: step_years, ko_columns, ki_columns, coupons, spots, r, q, vol,
// knocked_in.
using GroupArgs =
    std::tuple<Doubles, Columns, Columns, Doubles, Doubles, double, double, double, bool>;

nb::list simulate_groups(const Matrix& draws, const std::vector<GroupArgs>& groups,
                         double strike, double ki_barrier, double ko_barrier,
                         const std::string& rule, unsigned threads,
                         const std::vector<std::string>& standard_errors) {
    if (!standard_errors.empty() && standard_errors.size() != groups.size())
        throw nb::value_error("standard_errors needs one entry per group");
    std::vector<velmora::SampleError> how(groups.size(), velmora::SampleError::none);
    for (std::size_t i = 0; i < standard_errors.size(); ++i) {
        if (standard_errors[i] == "paths")
            how[i] = velmora::SampleError::paths;
        else if (standard_errors[i] == "antithetic_pairs")
            how[i] = velmora::SampleError::antithetic_pairs;
        else if (standard_errors[i] != "none")
            throw nb::value_error(
                "standard_errors entries must be 'none', 'paths' or 'antithetic_pairs'");
    }
    const auto terms = make_terms(strike, ki_barrier, ko_barrier, rule);
    std::vector<velmora::ScenarioGroup> plain;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const auto& [step_years, ko_columns, ki_columns, coupons, spots, r, q, vol, knocked_in] =
            groups[i];
        plain.push_back({{r, q, vol},
                         {as_span(step_years), as_span(ko_columns), as_span(ki_columns),
                          as_span(coupons)},
                         as_span(spots),
                         knocked_in,
                         how[i]});
    }
    const auto results = dispatch(draws, "draws", [&](const auto& view) {
        return velmora::simulate_autocall_groups(terms, std::span(plain), view, threads);
    });
    nb::list out;
    for (const auto& res : results) {
        if (standard_errors.empty())
            out.append(pack(res));
        else // NaN where a group asked for none
            out.append(nb::make_tuple(res.paths, pack(res)[1],
                                      nb::cast(res.standard_errors.empty()
                                                   ? std::vector<double>(res.scenarios.size(),
                                                                         std::nan(""))
                                                   : res.standard_errors)));
    }
    return out;
}

nb::tuple value_paths(const Matrix& paths, const Columns& ko_columns, const Columns& ki_columns,
                      const Doubles& discount, const Doubles& coupons, const Doubles& spots,
                      double strike, double ki_barrier, double ko_barrier,
                      const std::string& rule, bool knocked_in, unsigned threads) {
    const auto terms = make_terms(strike, ki_barrier, ko_barrier, rule);
    return pack(dispatch(paths, "paths", [&](const auto& view) {
        return velmora::value_paths(terms, view, as_span(ko_columns), as_span(ki_columns),
                                    as_span(discount), as_span(coupons), as_span(spots),
                                    knocked_in, threads);
    }));
}

// A local market from Python: (rate, yield, vol_days, x0, dx, nodes, vol).
using MarketArgs = std::tuple<std::vector<double>, std::vector<double>, std::vector<std::int64_t>,
                              double, double, std::size_t, std::vector<double>>;

std::vector<double> simulate_local(const Matrix& draws, const Doubles& step_years,
                                   const std::vector<std::int64_t>& column_days,
                                   const Columns& ko_columns, const Columns& ki_columns,
                                   const Doubles& coupons, const Doubles& spots,
                                   const MarketArgs& market, double strike, double ki_barrier,
                                   double ko_barrier, const std::string& rule, bool knocked_in,
                                   unsigned threads) {
    const auto terms = make_terms(strike, ki_barrier, ko_barrier, rule);
    const auto& [rate, yield, vol_days, x0, dx, nodes, vol] = market;
    const velmora::LocalGroup group{
        {as_span(step_years), as_span(ko_columns), as_span(ki_columns), as_span(coupons)},
        column_days,
        {rate, yield, vol_days, x0, dx, nodes, vol},
        as_span(spots),
        knocked_in};
    return dispatch(draws, "draws", [&](const auto& view) {
        return velmora::simulate_autocall_local(terms, group, view, threads);
    });
}

} // namespace

void bind_pde(nb::module_& m); // pde_module.cpp
void bind_autocall_pde(nb::module_& m); // autocall_pde_module.cpp
void bind_asian(nb::module_& m); // asian_module.cpp

NB_MODULE(_core, m) {
    m.doc() = "Compiled core of velmora: the autocallable notes' Monte Carlo engine and their\n"
              "finite-difference solver, the finite-difference solver of single-barrier\n"
              "and vanilla options, and the arithmetic asian's quasi-Monte Carlo engine.";
    m.attr("PATH_BLOCK") = velmora::kPathBlock;
    // VELMORA_SIMD=portable|avx2|avx512 forces an instruction-set level (e.g. a lower one for
    // testing); a level this processor lacks, or an unknown name, fails the import.
    if (const char* forced = std::getenv("VELMORA_SIMD"); forced && *forced) {
        try {
            velmora::set_simd_level(velmora::simd_level_named(forced));
        } catch (const std::invalid_argument& e) {
            throw nb::value_error((std::string("VELMORA_SIMD: ") + e.what()).c_str());
        }
    }

    m.def("simulate", &simulate, "draws"_a, "step_years"_a, "ko_columns"_a, "ki_columns"_a,
          "coupons"_a, "spots"_a, nb::kw_only(), "r"_a, "q"_a, "vol"_a, "strike"_a,
          "ki_barrier"_a, "ko_barrier"_a, "rule"_a, "knocked_in"_a, "threads"_a,
          "Simulate one path per row of `draws` and value the note for every spot.\n\n"
          "Returns (paths, [(spot, coupon_total, loss_total), ...]); the value of a\n"
          "scenario is (coupon_total + loss_total) / paths.");
    m.def("simulate_groups", &simulate_groups, "draws"_a, "groups"_a, nb::kw_only(), "strike"_a,
          "ki_barrier"_a, "ko_barrier"_a, "rule"_a, "threads"_a,
          "standard_errors"_a = std::vector<std::string>{},
          "Value several scenario groups from one pass over `draws`.\n\n"
          "Each group is (step_years, ko_columns, ki_columns, coupons, spots, r, q, vol,\n"
          "knocked_in) and reads the first len(step_years) columns of `draws`.  Returns one\n"
          "(paths, [(spot, coupon_total, loss_total), ...]) per group, each the same to the\n"
          "bit as `simulate` of that group alone.  With standard_errors, one entry per group,\n"
          "'none', 'paths' (every row an independent sample) or 'antithetic_pairs' (row\n"
          "m + M/2 the negation of row m: each pair's mean is one sample), each group's\n"
          "tuple also holds the standard error of each spot's value (NaN for 'none').");
    m.def("simd_levels", [] {
        std::vector<std::string> names;
        for (auto l : velmora::simd_levels())
            names.emplace_back(velmora::simd_name(l));
        return names;
    }, "Instruction-set levels of the engine that run here, lowest first.");
    m.def("simd_level", [] { return std::string(velmora::simd_name(velmora::simd_level())); },
          "The instruction-set level the engine uses.");
    m.def("set_simd_level", [](const std::string& name) {
        velmora::set_simd_level(velmora::simd_level_named(name));
    }, "name"_a, "Use another instruction-set level (every level gives the same bits).");
    m.def("value_paths", &value_paths, "paths"_a, "ko_columns"_a, "ki_columns"_a, "discount"_a,
          "coupons"_a, "spots"_a, nb::kw_only(), "strike"_a, "ki_barrier"_a, "ko_barrier"_a,
          "rule"_a, "knocked_in"_a, "threads"_a,
          "Value the note on given paths (ratios to the spot) for every spot.\n\n"
          "Returns (paths, [(spot, coupon_total, loss_total), ...]).");
    m.def("simulate_local", &simulate_local, "draws"_a, "step_years"_a, "column_days"_a,
          "ko_columns"_a, "ki_columns"_a, "coupons"_a, "spots"_a, "market"_a, nb::kw_only(),
          "strike"_a, "ki_barrier"_a, "ko_barrier"_a, "rule"_a, "knocked_in"_a, "threads"_a,
          "Discounted value of every path for every spot, flat [spot][path], under a local\n"
          "market (rate, yield, vol_days, x0, dx, nodes, vol): daily forward rates and\n"
          "yields, and local vols by row (from its first day) and log-spot node x0 + i dx.");
    bind_pde(m);
    bind_autocall_pde(m);
    bind_asian(m);
}
