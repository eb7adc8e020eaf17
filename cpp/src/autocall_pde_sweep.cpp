// One time step of the finite-difference autocallable solver, for many systems side by side.
#include "autocall_pde_sweep.hpp"

#include <initializer_list>

namespace velmora::autocall_pde::sweep {

namespace {

// N > 0 fixes the system count at compile time, so the inner loops have a constant length
// that the compiler unrolls and vectorises.  PerNode reads the explicit part of row i at
// [i * systems + s] rather than at [s].
template <std::size_t N, bool Explicit, bool PerNode>
void step_fixed(const Step& a, std::size_t count) {
    // The previous row of the elimination and of the back substitution is carried in a
    // local array, so the compiler sees that the systems of one row are independent.
    constexpr std::size_t kMax = N ? N : 1;
    const std::size_t S = N ? N : count;
    const std::size_t n = a.nodes;
    double* __restrict v = a.v;
    double* __restrict r = a.work;
    const double* __restrict sb = a.sub;
    const double* __restrict iv = a.inv;
    const double* __restrict c = a.cp;
    const double* __restrict lo = a.e_lo;
    const double* __restrict di = a.e_di;
    const double* __restrict up = a.e_up;
    // the explicit part of row i, whose neighbourhood starts at x = v + (i - 1) S
    auto rhs = [&](const double* x, std::size_t i, std::size_t s) {
        if constexpr (Explicit) {
            const std::size_t e = (PerNode ? i * S : 0) + s;
            return x[S + s] + (lo[e] * x[s] + di[e] * x[S + s] + up[e] * x[2 * S + s]);
        } else {
            (void)i;
            return x[S + s];
        }
    };
    if constexpr (N == 0) {
        // any other count of systems: the same arithmetic, row by row
        for (std::size_t s = 0; s < S; ++s)
            r[S + s] = rhs(v, 1, s) * iv[S + s];
        for (std::size_t i = 2; i + 1 < n; ++i)
            for (std::size_t s = 0; s < S; ++s)
                r[i * S + s] =
                    rhs(v + (i - 1) * S, i, s) * iv[i * S + s] - sb[i * S + s] * r[(i - 1) * S + s];
        for (std::size_t s = 0; s < S; ++s)
            v[(n - 2) * S + s] = r[(n - 2) * S + s];
        for (std::size_t i = n - 3; i >= 1; --i)
            for (std::size_t s = 0; s < S; ++s)
                v[i * S + s] = r[i * S + s] - c[i * S + s] * v[(i + 1) * S + s];
    } else {
        double prev[kMax];
        for (std::size_t s = 0; s < N; ++s)
            prev[s] = r[S + s] = rhs(v, 1, s) * iv[S + s];
        for (std::size_t i = 2; i + 1 < n; ++i) {
            const double* x = v + (i - 1) * N;
            const std::size_t o = i * N;
            double row[kMax];
            for (std::size_t s = 0; s < N; ++s)
                row[s] = rhs(x, i, s) * iv[o + s] - sb[o + s] * prev[s]; // one multiply on the chain
            for (std::size_t s = 0; s < N; ++s)
                prev[s] = r[o + s] = row[s];
        }
        for (std::size_t s = 0; s < N; ++s)
            v[(n - 2) * N + s] = prev[s];
        for (std::size_t i = n - 3; i >= 1; --i) {
            const std::size_t o = i * N;
            for (std::size_t s = 0; s < N; ++s)
                prev[s] = r[o + s] - c[o + s] * prev[s];
            for (std::size_t s = 0; s < N; ++s)
                v[o + s] = prev[s];
        }
    }
    // the boundary nodes, linear in the spot
    for (std::size_t s = 0; s < S; ++s) {
        v[s] = (1.0 + a.ext_lo) * v[S + s] - a.ext_lo * v[2 * S + s];
        v[(n - 1) * S + s] = (1.0 + a.ext_hi) * v[(n - 2) * S + s] - a.ext_hi * v[(n - 3) * S + s];
    }
}

template <bool Explicit, bool PerNode>
void step_any(const Step& a) {
    switch (a.systems) {
    case 1: return step_fixed<1, Explicit, PerNode>(a, 1);
    case 2: return step_fixed<2, Explicit, PerNode>(a, 2);
    case 5: return step_fixed<5, Explicit, PerNode>(a, 5);
    case 10: return step_fixed<10, Explicit, PerNode>(a, 10);
    default: return step_fixed<0, Explicit, PerNode>(a, a.systems);
    }
}

// The implicit step of step_fixed<N, false, false> for two systems sets at once.
template <std::size_t N>
void pair_fixed(const Step& a, const Step& b) {
    const std::size_t n = a.nodes;
    double* __restrict va = a.v;
    double* __restrict vb = b.v;
    double* __restrict ra = a.work;
    double* __restrict rb = b.work;
    const double *__restrict sa = a.sub, *__restrict sb = b.sub;
    const double *__restrict ia = a.inv, *__restrict ib = b.inv;
    const double *__restrict ca = a.cp, *__restrict cb = b.cp;
    double pa[N], pb[N];
    for (std::size_t s = 0; s < N; ++s) {
        pa[s] = ra[N + s] = va[N + s] * ia[N + s];
        pb[s] = rb[N + s] = vb[N + s] * ib[N + s];
    }
    for (std::size_t i = 2; i + 1 < n; ++i) {
        const std::size_t o = i * N;
        double row_a[N], row_b[N];
        for (std::size_t s = 0; s < N; ++s) {
            row_a[s] = va[o + s] * ia[o + s] - sa[o + s] * pa[s];
            row_b[s] = vb[o + s] * ib[o + s] - sb[o + s] * pb[s];
        }
        for (std::size_t s = 0; s < N; ++s) {
            pa[s] = ra[o + s] = row_a[s];
            pb[s] = rb[o + s] = row_b[s];
        }
    }
    for (std::size_t s = 0; s < N; ++s) {
        va[(n - 2) * N + s] = pa[s];
        vb[(n - 2) * N + s] = pb[s];
    }
    for (std::size_t i = n - 3; i >= 1; --i) {
        const std::size_t o = i * N;
        for (std::size_t s = 0; s < N; ++s) {
            pa[s] = ra[o + s] - ca[o + s] * pa[s];
            pb[s] = rb[o + s] - cb[o + s] * pb[s];
        }
        for (std::size_t s = 0; s < N; ++s) {
            va[o + s] = pa[s];
            vb[o + s] = pb[s];
        }
    }
    for (const Step* x : {&a, &b})
        for (std::size_t s = 0; s < N; ++s) {
            double* v = x->v;
            v[s] = (1.0 + x->ext_lo) * v[N + s] - x->ext_lo * v[2 * N + s];
            v[(n - 1) * N + s] =
                (1.0 + x->ext_hi) * v[(n - 2) * N + s] - x->ext_hi * v[(n - 3) * N + s];
        }
}

} // namespace

void implicit_pair(const Step& a, const Step& b) {
    switch (a.systems) {
    case 1: return pair_fixed<1>(a, b);
    case 2: return pair_fixed<2>(a, b);
    case 5: return pair_fixed<5>(a, b);
    case 10: return pair_fixed<10>(a, b);
    default: step(a), step(b);
    }
}

void step(const Step& a) {
    if (!a.explicit_part)
        step_any<false, false>(a);
    else if (a.explicit_per_node)
        step_any<true, true>(a);
    else
        step_any<true, false>(a);
}

} // namespace velmora::autocall_pde::sweep
