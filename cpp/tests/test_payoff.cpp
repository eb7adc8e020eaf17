// Hand-made paths for every knock-out, knock-in and coupon rule of both notes.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "velmora/autocall.hpp"
#include "velmora/payoff.hpp"

using namespace velmora;

namespace {

// Four trading days; knock-out observed on columns 1 and 3, knock-in on all four.
const std::vector<std::int64_t> kKo{1, 3};
const std::vector<std::int64_t> kKi{0, 1, 2, 3};
const std::vector<double> kDiscount{1.0, 0.9, 0.8, 0.7};
const std::vector<double> kCoupons{1.0, 2.0};
// spot 100: ko ratio 1.03, ki ratio 0.8, strike ratio 1.0
const AutocallTerms kSnow{100.0, 80.0, 103.0, CouponRule::snowball};
const AutocallTerms kPhoenix{100.0, 80.0, 103.0, CouponRule::phoenix};

struct Case {
    const char* name;
    AutocallTerms terms;
    std::vector<double> path;
    bool knocked_in;
    double coupon; // expected discounted coupon
    double loss;   // expected discounted loss in price units
};

ScenarioValue value_one(const AutocallTerms& terms, const std::vector<double>& path,
                        bool knocked_in, double spot = 100.0,
                        const std::vector<std::int64_t>& ko = kKo,
                        const std::vector<std::int64_t>& ki = kKi,
                        const std::vector<double>& coupons = kCoupons) {
    const auto m = StridedMatrix<double>::contiguous(path, 1, path.size());
    const double spots[] = {spot};
    return value_paths<double>(terms, m, ko, ki, kDiscount, coupons, spots, knocked_in, 1)
        .scenarios[0];
}

void table() {
    const std::vector<Case> cases{
        {"snowball: at the knock-out level on both dates: no knock-out, non-touch coupon",
         kSnow, {1.0, 1.03, 1.0, 1.03}, false, 2.0 * 0.7, 0.0},
        {"snowball: above on both knock-out dates: only the first pays", kSnow,
         {1.0, 1.04, 1.0, 1.05}, false, 1.0 * 0.9, 0.0},
        {"snowball: knocks out on the last date: that coupon once, not twice", kSnow,
         {1.0, 1.0, 1.0, 1.05}, false, 2.0 * 0.7, 0.0},
        {"snowball: knocks in, ends below strike: loss, no coupon", kSnow,
         {1.0, 1.0, 0.79, 0.9}, false, 0.0, (0.9 - 1.0) * 0.7 * 100.0},
        {"snowball: touches the knock-in level exactly: no knock-in", kSnow,
         {1.0, 1.0, 0.8, 0.9}, false, 2.0 * 0.7, 0.0},
        {"snowball: knocked in before: no non-touch coupon, loss carried", kSnow,
         {1.0, 1.0, 1.0, 0.95}, true, 0.0, (0.95 - 1.0) * 0.7 * 100.0},
        {"snowball: knocks in after knocking out: still only the coupon", kSnow,
         {1.0, 1.1, 0.5, 0.5}, false, 1.0 * 0.9, 0.0},
        {"phoenix: coupons up to and including the knock-out date", kPhoenix,
         {1.0, 0.9, 1.0, 1.05}, false, 1.0 * 0.9 + 2.0 * 0.7, 0.0},
        {"phoenix: below the knock-in level on a date: only that coupon missed", kPhoenix,
         {1.0, 0.75, 1.0, 0.85}, false, 2.0 * 0.7, (0.85 - 1.0) * 0.7 * 100.0},
        {"phoenix: at the knock-in level on a date: paid", kPhoenix, {1.0, 0.8, 1.0, 1.0},
         false, 1.0 * 0.9 + 2.0 * 0.7, 0.0},
        {"phoenix: at the knock-out level: paid, not knocked out", kPhoenix,
         {1.0, 1.03, 1.0, 0.99}, true, 1.0 * 0.9 + 2.0 * 0.7, (0.99 - 1.0) * 0.7 * 100.0},
    };
    for (const Case& c : cases) {
        const ScenarioValue v = value_one(c.terms, c.path, c.knocked_in);
        CHECK_CLOSE(v.coupon_total, c.coupon, 1e-15, c.name);
        CHECK_CLOSE(v.loss_total, c.loss, 1e-13, c.name);
        CHECK_CLOSE(v.value(1), c.coupon + c.loss, 1e-13, c.name);
    }
}

void nothing_left_to_observe() {
    const std::vector<std::int64_t> none;
    const std::vector<double> no_coupons;
    // No knock-out date left: no coupon of either kind; the loss still counts.
    for (const auto& terms : {kSnow, kPhoenix}) {
        ScenarioValue v = value_one(terms, {1.0, 1.2, 0.7, 0.9}, false, 100.0, none, kKi,
                                    no_coupons);
        CHECK_CLOSE(v.coupon_total, 0.0, 0.0, "no knock-out date: coupon");
        CHECK_CLOSE(v.loss_total, (0.9 - 1.0) * 0.7 * 100.0, 1e-13, "no knock-out date: loss");
        // No knock-in date left and none observed before: nothing can knock in.
        v = value_one(terms, {1.0, 1.0, 0.1, 0.1}, false, 100.0, kKo, none);
        CHECK_CLOSE(v.loss_total, 0.0, 0.0, "no knock-in date: no loss");
        // ...but a knock-in seen before still carries the loss.
        v = value_one(terms, {1.0, 1.0, 0.1, 0.5}, true, 100.0, kKo, none);
        CHECK_CLOSE(v.loss_total, (0.5 - 1.0) * 0.7 * 100.0, 1e-13, "knocked in before");
    }
    const ScenarioValue snow = value_one(kSnow, {1.0, 1.0, 0.1, 0.1}, false, 100.0, kKo, none);
    CHECK_CLOSE(snow.coupon_total, 2.0 * 0.7, 1e-15, "no knock-in date: non-touch coupon");
}

void spot_moves_the_levels() {
    // The same ratio path 1.025 is below the knock-out ratio 103/100 but above 103/100.5.
    const std::vector<double> path{1.0, 1.025, 1.0, 0.7};
    const auto m = StridedMatrix<double>::contiguous(path, 1, path.size());
    const double spots[] = {100.0, 100.5};
    const auto res = value_paths<double>(kSnow, m, kKo, kKi, kDiscount, kCoupons, spots, false, 1);
    CHECK(res.scenarios.size() == 2);
    // spot 100: 0.7 < 0.8 knocks in, loss (0.7 - 1) * 0.7 * 100
    CHECK_CLOSE(res.scenarios[0].value(1), (0.7 - 1.0) * 0.7 * 100.0, 1e-13);
    CHECK_CLOSE(res.scenarios[1].value(1), 1.0 * 0.9, 1e-15);
}

void strided_float_paths() {
    // Two paths of a float matrix read through a column window of a wider array.
    const std::vector<float> wide{1.0f, 1.1f, 1.0f, 1.0f, 9.0f, 1.0f, 1.0f, 1.0f, 0.5f, 9.0f};
    const StridedMatrix<float> m(wide, 2, 4, 5, 1);
    const double spots[] = {100.0};
    const auto res = value_paths<float>(kSnow, m, kKo, kKi, kDiscount, kCoupons, spots, false, 1);
    const double loss = (static_cast<double>(0.5f) - 1.0) * 0.7 * 100.0;
    CHECK_CLOSE(res.scenarios[0].coupon_total, 0.9, 1e-15);
    CHECK_CLOSE(res.scenarios[0].loss_total, loss, 1e-13);
}

void rejects_bad_input() {
    const std::vector<double> path{1.0, 1.0, 1.0, 1.0};
    const std::vector<std::int64_t> beyond{1, 4};
    const std::vector<std::int64_t> negative{-1};
    const std::vector<double> short_discount{1.0, 0.9};
    const auto m = StridedMatrix<double>::contiguous(path, 1, 4);
    const double spots[] = {100.0};
    const double zero_spot[] = {0.0};
    CHECK_THROWS(std::out_of_range,
                 value_paths<double>(kSnow, m, beyond, kKi, kDiscount, kCoupons, spots, false, 1));
    CHECK_THROWS(std::out_of_range, value_paths<double>(kSnow, m, kKo, negative, kDiscount,
                                                        kCoupons, spots, false, 1));
    CHECK_THROWS(std::invalid_argument, value_paths<double>(kSnow, m, kKo, kKi, short_discount,
                                                            kCoupons, spots, false, 1));
    CHECK_THROWS(std::invalid_argument,
                 value_paths<double>(kSnow, m, kKo, kKi, kDiscount, std::vector<double>{1.0},
                                     spots, false, 1));
    CHECK_THROWS(std::invalid_argument, value_paths<double>(kSnow, m, kKo, kKi, kDiscount,
                                                            kCoupons, zero_spot, false, 1));
    CHECK_THROWS(std::invalid_argument,
                 (StridedMatrix<double>(std::span<const double>(path), 2, 4, 4, 1)));
}

} // namespace

int main() {
    table();
    nothing_left_to_observe();
    spot_moves_the_levels();
    strided_float_paths();
    rejects_bad_input();
    return check::summary("test_payoff");
}
