// The autocallable inner loop in plain C++: any processor, any element type and any strides.
#include <cmath>
#include <cstddef>
#include <limits>

#include "kernel.hpp"

namespace velmora::kernel {
namespace {

#include "kernel_body.inc"

// kLanes doubles, one operation at a time.
struct Lanes {
    double v[kLanes];
    static Lanes load(const double* p) {
        Lanes r;
        for (std::size_t l = 0; l < kLanes; ++l)
            r.v[l] = p[l];
        return r;
    }
    static void store(double* p, const Lanes& a) {
        for (std::size_t l = 0; l < kLanes; ++l)
            p[l] = a.v[l];
    }
    static Lanes set1(double x) {
        Lanes r;
        for (std::size_t l = 0; l < kLanes; ++l)
            r.v[l] = x;
        return r;
    }
    static Lanes zero() { return set1(0.0); }
    static Lanes infinity() { return set1(std::numeric_limits<double>::infinity()); }
    static Lanes add(const Lanes& a, const Lanes& b) {
        Lanes r;
        for (std::size_t l = 0; l < kLanes; ++l)
            r.v[l] = a.v[l] + b.v[l];
        return r;
    }
    static Lanes mul(const Lanes& a, const Lanes& b) {
        Lanes r;
        for (std::size_t l = 0; l < kLanes; ++l)
            r.v[l] = a.v[l] * b.v[l];
        return r;
    }
    static Lanes min_first(const Lanes& a, const Lanes& b) {
        Lanes r;
        for (std::size_t l = 0; l < kLanes; ++l)
            r.v[l] = a.v[l] < b.v[l] ? a.v[l] : b.v[l];
        return r;
    }
    using Mask = unsigned; // lane l in bit l
    template <class Cmp>
    static Mask compare(const Lanes& a, const Lanes& b, Cmp cmp) {
        Mask m = 0;
        for (std::size_t l = 0; l < kLanes; ++l)
            m |= static_cast<Mask>(cmp(a.v[l], b.v[l])) << l;
        return m;
    }
    static Mask gt(const Lanes& a, const Lanes& b) {
        return compare(a, b, [](double x, double y) { return x > y; });
    }
    static Mask ge(const Lanes& a, const Lanes& b) {
        return compare(a, b, [](double x, double y) { return x >= y; });
    }
    static Mask lt(const Lanes& a, const Lanes& b) {
        return compare(a, b, [](double x, double y) { return x < y; });
    }
    static Mask le(const Lanes& a, const Lanes& b) {
        return compare(a, b, [](double x, double y) { return x <= y; });
    }
    static Mask mask_and(Mask a, Mask b) { return a & b; }
    static Mask mask_or(Mask a, Mask b) { return a | b; }
    static Mask mask_andnot(Mask a, Mask b) { return a & ~b; }
    static Mask mask_all() { return (1u << kLanes) - 1; }
    static Mask mask_none() { return 0; }
    static unsigned bits(Mask m) { return m; }
    static Lanes select(Mask m, const Lanes& a, const Lanes& b) {
        Lanes r;
        for (std::size_t l = 0; l < kLanes; ++l)
            r.v[l] = (m >> l) & 1u ? a.v[l] : b.v[l];
        return r;
    }
};
static_assert(LaneVector<Lanes>);

template <class T>
struct StridedLoader {
    const Draws<T>& draws;
    const T* rows[kLanes] = {};
    void start(std::size_t m0, std::size_t width, std::size_t /*last*/) {
        for (std::size_t l = 0; l < kLanes; ++l)
            rows[l] = draws.data + (m0 + (l < width ? l : 0)) * draws.row_stride;
    }
    void columns(std::size_t j0, std::size_t nk, double* z) const {
        for (std::size_t k = 0; k < nk; ++k) {
            const std::size_t off = (j0 + k) * draws.col_stride;
            for (std::size_t l = 0; l < kLanes; ++l)
                z[k * kLanes + l] = static_cast<double>(rows[l][off]);
        }
    }
};

template <class T>
void block(const Job& job, const Draws<T>& draws, std::size_t first, std::size_t last,
           double* sums, double* scratch) {
    StridedLoader<T> loader{draws};
    run_block<Lanes>(job, loader, first, last, sums, scratch);
}

} // namespace

void block_portable(const Job& job, const Draws<float>& draws, std::size_t first,
                    std::size_t last, double* sums, double* scratch) {
    block(job, draws, first, last, sums, scratch);
}

void block_portable(const Job& job, const Draws<double>& draws, std::size_t first,
                    std::size_t last, double* sums, double* scratch) {
    block(job, draws, first, last, sums, scratch);
}

} // namespace velmora::kernel
