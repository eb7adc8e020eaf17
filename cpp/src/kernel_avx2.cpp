// The autocallable inner loop with AVX2: eight paths in two registers of four doubles.
// Compiled with -mavx2 and without floating-point contraction (no fused multiply-add).
#include <cmath>
#include <cstddef>
#include <limits>

#include <immintrin.h>

#include "kernel.hpp"

namespace velmora::kernel {
namespace {

#include "kernel_body.inc"

struct Avx2 {
    __m256d lo, hi;
    static Avx2 load(const double* p) { return {_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}; }
    static void store(double* p, const Avx2& a) {
        _mm256_storeu_pd(p, a.lo);
        _mm256_storeu_pd(p + 4, a.hi);
    }
    static Avx2 set1(double x) { return {_mm256_set1_pd(x), _mm256_set1_pd(x)}; }
    static Avx2 zero() { return {_mm256_setzero_pd(), _mm256_setzero_pd()}; }
    static Avx2 infinity() { return set1(std::numeric_limits<double>::infinity()); }
    static Avx2 add(const Avx2& a, const Avx2& b) {
        return {_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)};
    }
    static Avx2 mul(const Avx2& a, const Avx2& b) {
        return {_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)};
    }
    // MINPD returns its first operand where it is less than the second, else the second.
    static Avx2 min_first(const Avx2& a, const Avx2& b) {
        return {_mm256_min_pd(a.lo, b.lo), _mm256_min_pd(a.hi, b.hi)};
    }
    // Lane masks as all-ones / all-zeros doubles.
    struct Mask {
        __m256d lo, hi;
    };
    template <int Cmp>
    static Mask compare(const Avx2& a, const Avx2& b) {
        return {_mm256_cmp_pd(a.lo, b.lo, Cmp), _mm256_cmp_pd(a.hi, b.hi, Cmp)};
    }
    static Mask gt(const Avx2& a, const Avx2& b) { return compare<_CMP_GT_OQ>(a, b); }
    static Mask ge(const Avx2& a, const Avx2& b) { return compare<_CMP_GE_OQ>(a, b); }
    static Mask lt(const Avx2& a, const Avx2& b) { return compare<_CMP_LT_OQ>(a, b); }
    static Mask le(const Avx2& a, const Avx2& b) { return compare<_CMP_LE_OQ>(a, b); }
    static Mask mask_and(const Mask& a, const Mask& b) {
        return {_mm256_and_pd(a.lo, b.lo), _mm256_and_pd(a.hi, b.hi)};
    }
    static Mask mask_or(const Mask& a, const Mask& b) {
        return {_mm256_or_pd(a.lo, b.lo), _mm256_or_pd(a.hi, b.hi)};
    }
    // a and not b
    static Mask mask_andnot(const Mask& a, const Mask& b) {
        return {_mm256_andnot_pd(b.lo, a.lo), _mm256_andnot_pd(b.hi, a.hi)};
    }
    static Mask mask_all() {
        const __m256d ones = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return {ones, ones};
    }
    static Mask mask_none() { return {_mm256_setzero_pd(), _mm256_setzero_pd()}; }
    static unsigned bits(const Mask& m) {
        return static_cast<unsigned>(_mm256_movemask_pd(m.lo)) |
               (static_cast<unsigned>(_mm256_movemask_pd(m.hi)) << 4);
    }
    // where m: a, else b
    static Avx2 select(const Mask& m, const Avx2& a, const Avx2& b) {
        return {_mm256_blendv_pd(b.lo, a.lo, m.lo), _mm256_blendv_pd(b.hi, a.hi, m.hi)};
    }
};
static_assert(LaneVector<Avx2>);

inline void widen_store(double* z, __m256 column) {
    _mm256_storeu_pd(z, _mm256_cvtps_pd(_mm256_castps256_ps128(column)));
    _mm256_storeu_pd(z + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(column, 1)));
}

#include "kernel_x86.inc"

} // namespace

void block_avx2(const Job& job, const Draws<float>& draws, std::size_t first, std::size_t last,
                double* sums, double* scratch) {
    TransposingLoader loader{draws};
    run_block<Avx2>(job, loader, first, last, sums, scratch);
}

} // namespace velmora::kernel
