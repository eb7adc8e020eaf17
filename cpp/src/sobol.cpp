// Randomised Sobol points: direction numbers of our own, scrambled per replicate.
#include "velmora/sobol.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

namespace velmora::qmc {

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t mix_key(std::uint64_t seed, std::uint64_t a, std::uint64_t b) {
    std::uint64_t s = seed;
    std::uint64_t k = splitmix64(s);
    s = k ^ a;
    k = splitmix64(s);
    s = k ^ b;
    return splitmix64(s);
}

namespace {

// a * b modulo p in GF(2)[x]; a and b of degree below `degree`, the degree of p.
std::uint64_t mulmod(std::uint64_t a, std::uint64_t b, std::uint64_t p, int degree) {
    std::uint64_t r = 0;
    while (b) {
        if (b & 1)
            r ^= a;
        b >>= 1;
        a <<= 1;
        if ((a >> degree) & 1)
            a ^= p;
    }
    return r;
}

std::uint64_t powmod(std::uint64_t base, std::uint64_t e, std::uint64_t p, int degree) {
    std::uint64_t r = 1;
    while (e) {
        if (e & 1)
            r = mulmod(r, base, p, degree);
        base = mulmod(base, base, p, degree);
        e >>= 1;
    }
    return r;
}

std::vector<std::uint64_t> prime_factors(std::uint64_t n) {
    std::vector<std::uint64_t> f;
    for (std::uint64_t d = 2; d * d <= n; ++d)
        if (n % d == 0) {
            f.push_back(d);
            while (n % d == 0)
                n /= d;
        }
    if (n > 1)
        f.push_back(n);
    return f;
}

// p (of degree s) is primitive when x has multiplicative order 2^s - 1 modulo p; a reducible
// p has fewer units than that, so the test also proves irreducibility.
bool is_primitive(std::uint64_t p, int degree) {
    const std::uint64_t order = (std::uint64_t{1} << degree) - 1;
    const std::uint64_t x = degree == 1 ? 1 : 2; // x reduced modulo p
    if (powmod(x, order, p, degree) != 1)
        return false;
    for (auto f : prime_factors(order))
        if (powmod(x, order / f, p, degree) == 1)
            return false;
    return true;
}

} // namespace

std::vector<std::uint32_t> primitive_polynomials(std::size_t count) {
    std::vector<std::uint32_t> out;
    for (int degree = 1; out.size() < count; ++degree) {
        if (degree > 31)
            throw std::invalid_argument("too many Sobol dimensions");
        const std::uint32_t top = std::uint32_t{1} << degree;
        for (std::uint32_t mid = 0; mid < top / 2 && out.size() < count; ++mid) {
            const std::uint32_t p = top | (mid << 1) | 1u;
            if (is_primitive(p, degree))
                out.push_back(p);
        }
    }
    return out;
}

double inverse_normal(double p) {
    static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                   -2.759285104469687e+02, 1.383577518672690e+02,
                                   -3.066479806614716e+01, 2.506628277459239e+00};
    static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                   -1.556989798598866e+02, 6.680131188771972e+01,
                                   -1.328068155288572e+01};
    static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                   -2.400758277161838e+00, -2.549732539343734e+00,
                                   4.374664141464968e+00,  2.938163982698783e+00};
    static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                                   2.445134137142996e+00, 3.754408661907416e+00};
    constexpr double low = 0.02425;
    if (!(p > 0.0 && p < 1.0))
        throw std::invalid_argument("inverse_normal: p must lie in (0, 1)");
    if (p < low || p > 1.0 - low) {
        const double q = std::sqrt(-2.0 * std::log(p < low ? p : 1.0 - p));
        const double x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
                         ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
        return p < low ? x : -x;
    }
    const double q = p - 0.5, r = q * q;
    return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
           (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
}

SobolDirections::SobolDirections(std::size_t dims, std::uint64_t seed)
    : dims_(dims), v_(32 * dims) {
    if (dims == 0)
        return;
    for (int k = 0; k < 32; ++k) // van der Corput: m_k = 1
        v_[k] = std::uint32_t{1} << (31 - k);
    const auto polys = primitive_polynomials(dims - 1);
    for (std::size_t d = 1; d < dims; ++d) {
        const std::uint32_t p = polys[d - 1];
        const int s = std::bit_width(p) - 1;
        std::uint64_t state = mix_key(seed, d);
        std::uint64_t m[33] = {};
        for (int k = 1; k <= 32; ++k) {
            if (k <= s) { // free: odd and below 2^k
                m[k] = (splitmix64(state) & ((std::uint64_t{1} << k) - 1)) | 1u;
                continue;
            }
            std::uint64_t mk = m[k - s] ^ (m[k - s] << s);
            for (int i = 1; i < s; ++i)
                if ((p >> (s - i)) & 1)
                    mk ^= m[k - i] << i;
            m[k] = mk;
        }
        for (int k = 1; k <= 32; ++k)
            v_[32 * d + k - 1] = static_cast<std::uint32_t>(m[k] << (32 - k));
    }
}

ScrambledSobol::ScrambledSobol(const SobolDirections& directions, std::uint64_t seed,
                               std::uint64_t points)
    : bits_(std::bit_width(points) - 1), v_(directions.dims() * std::max(bits_, 1)),
      shift_(directions.dims()), x_(directions.dims(), 0) {
    if (points == 0 || !std::has_single_bit(points) || bits_ > 32)
        throw std::invalid_argument("Sobol points must be a power of two up to 2^32");
    for (std::size_t d = 0; d < directions.dims(); ++d) {
        std::uint64_t state = mix_key(seed, d);
        // Column i of a random lower-triangular matrix (digits most significant first): a one
        // on the diagonal (bit 31 - i) and random bits on the less significant digits.
        std::uint32_t columns[32];
        for (int i = 0; i < 32; ++i) {
            const std::uint32_t diagonal = std::uint32_t{1} << (31 - i);
            columns[i] = diagonal | (static_cast<std::uint32_t>(splitmix64(state)) &
                                     (diagonal - 1));
        }
        // Only the directions of the first `points` points are ever used.
        const std::uint32_t* v = directions.of(d);
        for (int k = 0; k < bits_; ++k) {
            std::uint32_t out = 0;
            for (std::uint32_t rest = v[k]; rest; rest &= rest - 1)
                out ^= columns[31 - std::countr_zero(rest)];
            v_[bits_ * d + k] = out;
        }
        shift_[d] = static_cast<std::uint32_t>(splitmix64(state));
    }
}

void ScrambledSobol::next(std::span<double> u) {
    if (index_ >> bits_)
        throw std::out_of_range("past the last scrambled Sobol point");
    if (index_ > 0) { // Gray code: flip the direction of the lowest set bit of the index
        const int c = std::countr_zero(index_);
        for (std::size_t d = 0; d < x_.size(); ++d)
            x_[d] ^= v_[bits_ * d + c];
    }
    ++index_;
    constexpr double cell = 1.0 / 4294967296.0;
    for (std::size_t d = 0; d < x_.size(); ++d)
        u[d] = ((x_[d] ^ shift_[d]) + 0.5) * cell;
}

} // namespace velmora::qmc
