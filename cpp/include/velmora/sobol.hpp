// Randomised Sobol points: direction numbers of our own, scrambled per replicate.
//
// The direction numbers follow Sobol's construction from primitive polynomials over GF(2),
// which are found here by search (the order of x modulo the polynomial must be 2^s - 1).  The
// first dimension is van der Corput's; the free initial direction numbers of the others are
// odd integers drawn from a fixed seed, as in Jaeckel, "Monte Carlo Methods in Finance" (2002),
// ch. 8.  A replicate applies a random lower-triangular linear scramble and a random digital
// shift to every dimension (Matousek, "On the L2-discrepancy for anchored boxes", 1998): each
// point is then uniform on the unit cube, replicates are independent, and the net structure of
// the first 2^k points is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::qmc {

// The next 64-bit output of the SplitMix64 sequence at `state` (Steele, Lea and Flood,
// "Fast splittable pseudorandom number generators", 2014); `state` advances.
std::uint64_t splitmix64(std::uint64_t& state);

// A 64-bit key of its parts, for seeding an independent stream per (seed, replicate, ...).
std::uint64_t mix_key(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0);

// The first `count` primitive polynomials over GF(2), by increasing degree and then value.
// A polynomial x^s + a_1 x^(s-1) + ... + a_(s-1) x + 1 is the integer with bit s set, bit 0
// set and bit (s - i) equal to a_i.
std::vector<std::uint32_t> primitive_polynomials(std::size_t count);

// The inverse of the standard normal distribution function on (0, 1), Acklam's rational
// approximation (relative error below 1.2e-9).
double inverse_normal(double p);

// Direction numbers v[d][k] (bit k of the index, k = 0..31) of `dims` dimensions.
class SobolDirections {
public:
    SobolDirections(std::size_t dims, std::uint64_t seed);
    std::size_t dims() const { return dims_; }
    const std::uint32_t* of(std::size_t dim) const { return v_.data() + 32 * dim; }

private:
    std::size_t dims_;
    std::vector<std::uint32_t> v_;
};

// One randomised copy of the first `points` Sobol points (a power of two up to 2^32) in
// Gray-code order, each coordinate mapped to the centre of its 2^-32 cell, so never 0 or 1.
class ScrambledSobol {
public:
    ScrambledSobol(const SobolDirections& directions, std::uint64_t seed, std::uint64_t points);
    // Writes the next point's coordinates into `u` (size dims()); throws std::out_of_range
    // past the last point.
    void next(std::span<double> u);
    std::size_t dims() const { return shift_.size(); }

private:
    int bits_;                         // directions used: log2(points)
    std::vector<std::uint32_t> v_;     // scrambled directions, bits_ per dimension
    std::vector<std::uint32_t> shift_; // digital shift per dimension
    std::vector<std::uint32_t> x_;     // current unshifted point
    std::uint64_t index_ = 0;
};

} // namespace velmora::qmc
