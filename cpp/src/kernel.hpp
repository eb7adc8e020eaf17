// The inner loop of the autocallable engine, as plain data and one function per instruction
// set.  Private to the core: autocall.cpp builds a Job and calls the function of the level
// chosen at run time (see velmora/simd.hpp).
//
// Every level computes the same IEEE double operations in the same order for every path
// (the float draw widened exactly, then x = x + (drift + diffusion * z)), so all levels give
// the same bits.  The vector levels only run several paths side by side.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace velmora::kernel {

// Paths advanced together, on every level (one AVX-512 register or two AVX2 registers of
// doubles; eight independent scalar accumulations on the portable level).
inline constexpr std::size_t kLanes = 8;

// Whether exp(x) is above, at or below `level`, decided on the log-level x where that is
// certain: below `lo` exp(x) is surely under the level, above `hi` surely over it.  Between
// the two, exp(x) is computed and compared exactly as a plain valuation would.
struct LevelTest {
    double level;
    double lo;
    double hi;
};

// The three contract levels of one spot scenario (ratios to that spot).
struct SpotTests {
    LevelTest ko;
    LevelTest ki;
    LevelTest strike;
};

enum : unsigned char { kKnockInColumn = 1, kKeptColumn = 2 };

// One set of market inputs and one grid (e.g. the vol-bumped valuation, or the one from the
// next calendar day), valued for one or more spots.  Its grid reads the first `n_cols`
// columns of the pool.
struct Group {
    std::size_t n_cols;
    const double* drift;        // per column
    const double* diffusion;    // per column
    const unsigned char* flags; // per column: kKnockInColumn | kKeptColumn
    const std::int32_t* slot;   // per column: where its log-level is kept, or -1
    std::size_t n_slots;
    const std::size_t* ko_slot; // slot of each remaining knock-out date, in date order
    std::size_t n_ko;
    std::size_t terminal_slot;
    bool has_ki_dates;
    bool knocked_in;                 // a knock-in was observed before the valuation date
    const double* discounted_coupons; // per knock-out date
    double maturity_discount;
    const SpotTests* spots;
    std::size_t n_spots;
    std::size_t sum_offset;  // this group's 2 * n_spots sums start here in a block's sums
    std::size_t kept_offset; // its kept log-levels (n_slots * kLanes) start here in scratch
    // Optional: each path's coupon and loss per spot, at path_pay[(2 * s + {0, 1}) * n_paths
    // + path] (for the standard error); nullptr when not wanted.
    double* path_pay = nullptr;
    std::size_t n_paths = 0;
};

struct Job {
    const Group* groups;
    std::size_t n_groups;
    std::size_t n_cols; // pool columns read: the longest grid
    bool phoenix;       // coupon rule: phoenix, else snowball
    std::size_t kept_doubles; // sum over groups of n_slots * kLanes
};

// What the shared block loop (kernel_body.inc) asks of a level's vector of kLanes doubles:
// loads and stores, lane-wise arithmetic, and ordered comparisons into a mask type with its
// own logic, its lanes as bits (lane l in bit l) and a lane-wise select.
template <class V>
concept LaneVector = std::copyable<V> && std::copyable<typename V::Mask> &&
    requires(const V a, const V b, const typename V::Mask m, const double* in, double* out,
             double x) {
        { V::load(in) } -> std::same_as<V>;
        V::store(out, a);
        { V::set1(x) } -> std::same_as<V>;
        { V::zero() } -> std::same_as<V>;
        { V::infinity() } -> std::same_as<V>;
        { V::add(a, b) } -> std::same_as<V>;
        { V::mul(a, b) } -> std::same_as<V>;
        { V::min_first(a, b) } -> std::same_as<V>; // a < b ? a : b, lane by lane
        { V::gt(a, b) } -> std::same_as<typename V::Mask>;
        { V::ge(a, b) } -> std::same_as<typename V::Mask>;
        { V::lt(a, b) } -> std::same_as<typename V::Mask>;
        { V::le(a, b) } -> std::same_as<typename V::Mask>;
        { V::mask_and(m, m) } -> std::same_as<typename V::Mask>;
        { V::mask_or(m, m) } -> std::same_as<typename V::Mask>;
        { V::mask_andnot(m, m) } -> std::same_as<typename V::Mask>; // first and not second
        { V::mask_all() } -> std::same_as<typename V::Mask>;
        { V::mask_none() } -> std::same_as<typename V::Mask>;
        { V::bits(m) } -> std::same_as<unsigned>;
        { V::select(m, a, b) } -> std::same_as<V>; // a where the mask is set, else b
    };

// A source of draws for the block loop: start(m0, width, last) points at the rows of paths
// m0 .. m0 + kLanes - 1; columns(j0, nk, z) writes z[k * kLanes + l], the draw of lane l in
// column j0 + k widened to double, for k < nk.
template <class L>
concept DrawLoader = requires(L load, const L& read, std::size_t i, double* z) {
    load.start(i, i, i);
    read.columns(i, i, z);
};

// Doubles of scratch one block call needs.
inline std::size_t scratch_doubles(const Job& job) {
    return 2 * job.n_groups * kLanes + kLanes * kLanes + job.kept_doubles;
}

template <class T>
struct Draws {
    const T* data;
    std::size_t row_stride;
    std::size_t col_stride;
};

// Values the paths [first, last) of every group and adds, path by path in path order, each
// scenario's coupon and loss (loss in ratio units) into `sums`.
void block_portable(const Job& job, const Draws<float>& draws, std::size_t first,
                    std::size_t last, double* sums, double* scratch);
void block_portable(const Job& job, const Draws<double>& draws, std::size_t first,
                    std::size_t last, double* sums, double* scratch);
// Vector levels: float draws with contiguous columns only.
void block_avx2(const Job& job, const Draws<float>& draws, std::size_t first, std::size_t last,
                double* sums, double* scratch);
void block_avx512(const Job& job, const Draws<float>& draws, std::size_t first,
                  std::size_t last, double* sums, double* scratch);

} // namespace velmora::kernel
