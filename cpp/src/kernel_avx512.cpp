// The autocallable inner loop with AVX-512: eight paths in one register of doubles.
// Compiled with -mavx512f and without floating-point contraction (no fused multiply-add).
#include <cmath>
#include <cstddef>
#include <limits>

// GCC 12 reports its own intrinsics' deliberately undefined temporaries as maybe-uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "kernel.hpp"

namespace velmora::kernel {
namespace {

#include "kernel_body.inc"

struct Avx512 {
    __m512d v;
    static Avx512 load(const double* p) { return {_mm512_loadu_pd(p)}; }
    static void store(double* p, const Avx512& a) { _mm512_storeu_pd(p, a.v); }
    static Avx512 set1(double x) { return {_mm512_set1_pd(x)}; }
    static Avx512 zero() { return {_mm512_setzero_pd()}; }
    static Avx512 infinity() { return set1(std::numeric_limits<double>::infinity()); }
    static Avx512 add(const Avx512& a, const Avx512& b) { return {_mm512_add_pd(a.v, b.v)}; }
    static Avx512 mul(const Avx512& a, const Avx512& b) { return {_mm512_mul_pd(a.v, b.v)}; }
    // VMINPD returns its first operand where it is less than the second, else the second.
    static Avx512 min_first(const Avx512& a, const Avx512& b) {
        return {_mm512_min_pd(a.v, b.v)};
    }
    using Mask = __mmask8;
    static Mask gt(const Avx512& a, const Avx512& b) {
        return _mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ);
    }
    static Mask ge(const Avx512& a, const Avx512& b) {
        return _mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ);
    }
    static Mask lt(const Avx512& a, const Avx512& b) {
        return _mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ);
    }
    static Mask le(const Avx512& a, const Avx512& b) {
        return _mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ);
    }
    static Mask mask_and(Mask a, Mask b) { return static_cast<Mask>(a & b); }
    static Mask mask_or(Mask a, Mask b) { return static_cast<Mask>(a | b); }
    static Mask mask_andnot(Mask a, Mask b) { return static_cast<Mask>(a & ~b); }
    static Mask mask_all() { return 0xFF; }
    static Mask mask_none() { return 0; }
    static unsigned bits(Mask m) { return m; }
    // where m: a, else b
    static Avx512 select(Mask m, const Avx512& a, const Avx512& b) {
        return {_mm512_mask_blend_pd(m, b.v, a.v)};
    }
};
static_assert(LaneVector<Avx512>);

inline void widen_store(double* z, __m256 column) { _mm512_storeu_pd(z, _mm512_cvtps_pd(column)); }

#include "kernel_x86.inc"

} // namespace

void block_avx512(const Job& job, const Draws<float>& draws, std::size_t first,
                  std::size_t last, double* sums, double* scratch) {
    TransposingLoader loader{draws};
    run_block<Avx512>(job, loader, first, last, sums, scratch);
}

} // namespace velmora::kernel
