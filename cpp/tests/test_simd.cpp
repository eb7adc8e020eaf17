// Every instruction-set level of the engine against an explicit matrix of paths valued with
// exact exp comparisons, and against each other: same bits, whatever the level, the thread
// count, and the remainders of lanes, column chunks and blocks.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "velmora/autocall.hpp"
#include "velmora/simd.hpp"

using namespace velmora;

namespace {

struct Case {
    std::size_t rows, cols;
};

bool same(const AutocallResult& a, const AutocallResult& b) {
    if (a.paths != b.paths || a.scenarios.size() != b.scenarios.size())
        return false;
    for (std::size_t s = 0; s < a.scenarios.size(); ++s)
        if (a.scenarios[s].coupon_total != b.scenarios[s].coupon_total ||
            a.scenarios[s].loss_total != b.scenarios[s].loss_total)
            return false;
    return true;
}

void levels_match_exact_reference(const Case& c) {
    std::mt19937_64 gen(c.rows * 131 + c.cols);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    // a pool wider than the grid, read through a view of its leading columns
    const std::size_t width = c.cols + 3;
    std::vector<float> pool(c.rows * width);
    for (auto& v : pool)
        v = normal(gen);
    const StridedMatrix<float> draws(pool, c.rows, c.cols, width, 1);
    std::vector<double> dt(c.cols, 1.0 / 365.0);
    dt[0] = 0.0;
    for (std::size_t j = 4; j < c.cols; j += 5)
        dt[j] = 3.0 / 365.0;
    std::vector<double> dt_next(dt.begin() + 1, dt.end()); // one day later, one column less
    if (!dt_next.empty())
        dt_next[0] = 1.0 / 365.0;
    std::vector<std::int64_t> ko, ki;
    std::vector<double> coupons;
    for (std::size_t j = c.cols / 3; j < c.cols; j += 1 + c.cols / 4) {
        ko.push_back(static_cast<std::int64_t>(j));
        coupons.push_back(0.5 + static_cast<double>(j) / 10.0);
    }
    for (std::size_t j = 0; j < c.cols; j += 2)
        ki.push_back(static_cast<std::int64_t>(j));
    const double r = 0.03, q = 0.01, vol = 0.45;
    const AutocallTerms base{100.0, 92.0, 101.0, CouponRule::snowball};

    // The explicit paths: the same accumulation, then exp of every point.
    std::vector<double> paths(c.rows * c.cols);
    const double drift_rate = (r - q) - vol * vol / 2.0;
    for (std::size_t m = 0; m < c.rows; ++m) {
        double x = 0.0;
        for (std::size_t j = 0; j < c.cols; ++j) {
            x += drift_rate * dt[j] + vol * std::sqrt(dt[j]) * static_cast<double>(pool[m * width + j]);
            paths[m * c.cols + j] = std::exp(x);
        }
    }
    // Spots that put a level exactly on a simulated point (exp compared with itself after
    // one rounding), plus ordinary ones.
    std::vector<double> spots{100.0, 100.5, 99.5, 60.0, 140.0};
    for (std::size_t m = 0; m < c.rows && spots.size() < 14; m += 1 + c.rows / 3) {
        const double p_ko = ko.empty() ? 1.0 : paths[m * c.cols + ko[0]];
        const double p_t = paths[m * c.cols + c.cols - 1];
        spots.push_back(base.ko_barrier / p_ko);
        spots.push_back(base.ki_barrier / p_t);
        spots.push_back(base.strike / p_t);
    }
    const auto discount = discount_factors(r, dt);
    // the last: a knock-out level no path reaches, the largest double
    for (const AutocallTerms& terms :
         {AutocallTerms{base.strike, base.ki_barrier, base.ko_barrier, CouponRule::snowball},
          AutocallTerms{base.strike, base.ki_barrier, base.ko_barrier, CouponRule::phoenix},
          AutocallTerms{base.strike, base.ki_barrier, std::numeric_limits<double>::max(),
                        CouponRule::snowball}}) {
        const CouponRule rule = terms.rule;
        for (bool knocked_in : {false, true}) {
            const std::string ctx = std::to_string(c.rows) + "x" + std::to_string(c.cols) +
                                    (rule == CouponRule::phoenix ? " phoenix" : " snowball") +
                                    (knocked_in ? " knocked in" : "");
            const auto exact = value_paths<double>(
                terms, StridedMatrix<double>::contiguous(paths, c.rows, c.cols), ko, ki,
                discount, coupons, spots, knocked_in, 1);
            std::vector<ScenarioGroup> groups{{{r, q, vol}, {dt, ko, ki, coupons}, spots,
                                               knocked_in}};
            // a second group on the next day's shorter grid, with what remains observable
            std::vector<std::int64_t> ko_next, ki_next;
            std::vector<double> coupons_next;
            for (std::size_t k = 0; k < ko.size(); ++k)
                if (ko[k] >= 1) {
                    ko_next.push_back(ko[k] - 1);
                    coupons_next.push_back(coupons[k]);
                }
            for (auto j : ki)
                if (j >= 1)
                    ki_next.push_back(j - 1);
            if (!dt_next.empty())
                groups.push_back({{r, q, vol + 0.01}, {dt_next, ko_next, ki_next, coupons_next},
                                  std::span<const double>(spots).first(3), !knocked_in});
            std::vector<std::vector<AutocallResult>> by_level;
            for (SimdLevel level : simd_levels()) {
                set_simd_level(level);
                for (unsigned threads : {1u, 3u}) {
                    const auto res = simulate_autocall_groups<float>(terms, groups, draws, threads);
                    by_level.push_back(res);
                    CHECK(same(res[0], exact),
                          ctx + " " + simd_name(level) + " vs exact-exp path matrix");
                }
            }
            set_simd_level(SimdLevel::portable);
            for (std::size_t g = 0; g < groups.size(); ++g) {
                // alone, on the leading columns only, the group gives the same bits
                const StridedMatrix<float> lead(pool, c.rows, groups[g].grid.step_years.size(),
                                                width, 1);
                const auto alone = simulate_autocall<float>(terms, groups[g].market,
                                                            groups[g].grid, lead,
                                                            groups[g].spots,
                                                            groups[g].knocked_in, 2);
                for (const auto& res : by_level)
                    CHECK(same(res[g], alone), ctx + " group " + std::to_string(g));
            }
        }
    }
}

void double_and_strided_pools_read_alike() {
    const std::size_t rows = 2 * kPathBlock + 5, cols = 19;
    std::mt19937_64 gen(3);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> f(rows * cols);
    for (auto& v : f)
        v = normal(gen);
    std::vector<double> d(f.begin(), f.end());
    std::vector<float> t(rows * cols); // column-major copy: column stride = rows
    for (std::size_t m = 0; m < rows; ++m)
        for (std::size_t j = 0; j < cols; ++j)
            t[j * rows + m] = f[m * cols + j];
    const std::vector<double> dt(cols, 1.0 / 250.0), coupons{1.0, 2.0};
    const std::vector<std::int64_t> ko{9, 18}, ki{3, 9, 18};
    const double spots[] = {100.0, 97.0};
    const AutocallTerms terms{100.0, 95.0, 101.0, CouponRule::phoenix};
    const ObservationGrid grid{dt, ko, ki, coupons};
    for (SimdLevel level : simd_levels()) {
        set_simd_level(level);
        const auto a = simulate_autocall<float>(terms, {0.02, 0.0, 0.3}, grid,
                                                StridedMatrix<float>::contiguous(f, rows, cols),
                                                spots, false, 2);
        const auto b = simulate_autocall<double>(terms, {0.02, 0.0, 0.3}, grid,
                                                 StridedMatrix<double>::contiguous(d, rows, cols),
                                                 spots, false, 2);
        const auto c = simulate_autocall<float>(terms, {0.02, 0.0, 0.3}, grid,
                                                StridedMatrix<float>(t, rows, cols, 1, rows),
                                                spots, false, 2);
        CHECK(same(a, b), std::string(simd_name(level)) + " float vs double pool");
        CHECK(same(a, c), std::string(simd_name(level)) + " row-major vs column-major pool");
    }
    set_simd_level(SimdLevel::portable);
}

void level_names() {
    CHECK(simd_levels().front() == SimdLevel::portable);
    for (SimdLevel l : simd_levels())
        CHECK(simd_level_named(simd_name(l)) == l);
    CHECK_THROWS(std::invalid_argument, simd_level_named("sse9"));
}

} // namespace

int main() {
    std::string built;
    for (SimdLevel l : simd_levels())
        built += std::string(" ") + simd_name(l);
    std::printf("instruction-set levels run here:%s\n", built.c_str());
    // lanes (8), column chunks (8) and blocks (kPathBlock) with and without remainders
    for (const Case& c : {Case{1, 1}, Case{7, 9}, Case{8, 8}, Case{9, 17}, Case{kPathBlock, 16},
                          Case{kPathBlock + 1, 7}, Case{2 * kPathBlock + 13, 61}, Case{300, 2}})
        levels_match_exact_reference(c);
    double_and_strided_pools_read_alike();
    level_names();
    return check::summary("test_simd");
}
