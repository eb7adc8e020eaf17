// Finite-difference valuation of snowball and phoenix notes: two layers in log spot.
#include "velmora/autocall_pde.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include "autocall_pde_sweep.hpp"
#include "require.hpp"
#include "velmora/local_market.hpp"

namespace velmora::autocall_pde {

namespace {

constexpr double kDay = 1.0 / 365.0;
// The grid reaches this many standard deviations of log spot over the life beyond the
// spots, barriers and strike.  Beyond it the value is linear in the spot (knocked in far
// below, knocked out far above), which is what the boundary rows extrapolate.
constexpr double kTails = 3.5;
// Bounded work at extreme inputs (spots far apart, a tiny volatility): the space step grows
// until the grid has at most this many nodes.
constexpr std::size_t kMaxNodes = 20000;
// Two barriers closer than a quarter of the wanted space step cannot both sit half-way
// between nodes without a much finer grid; the knock-in barrier is then the one aligned.
constexpr double kClosestAlignedStep = 0.25;
// Time steps of the interval that starts on a reading day, per step of any other interval.
constexpr int kNearReading = 16;

bool reachable(double level) {
    return level < std::numeric_limits<double>::max() && level > 0.0;
}

void check_inputs(const AutocallTerms& terms, const Schedule& s,
                  std::span<const Scenario> scenarios, std::span<const double> spots,
                  std::span<const Reading> readings) {
    require(std::isfinite(terms.strike) && terms.strike >= 0.0,
            "strike must be finite and not negative");
    require(std::isfinite(terms.ki_barrier), "the knock-in barrier must be finite");
    require(!std::isnan(terms.ko_barrier), "the knock-out barrier must be a number");
    require(!scenarios.empty(), "at least one scenario is needed");
    for (const Scenario& sc : scenarios)
        require(std::isfinite(sc.r) && std::isfinite(sc.q) && std::isfinite(sc.vol) &&
                    sc.vol > 0.0,
                "rate and dividend yield must be finite, volatility finite and positive");
    require(!spots.empty(), "at least one spot is needed");
    for (double x : spots)
        require(std::isfinite(x) && x > 0.0, "spot must be finite and positive");
    require(!readings.empty(), "at least one reading is needed");
    const auto& days = s.column_days;
    require(!days.empty(), "the grid needs at least one trading day");
    require(days[0] >= 0, "trading days must not be before the valuation date");
    for (std::size_t j = 1; j < days.size(); ++j)
        require(days[j] > days[j - 1], "trading days must be strictly increasing");
    for (const Reading& r : readings)
        require(r.day >= 0 && r.day <= days.back(),
                "a reading day must lie between the valuation date and maturity");
    require(s.coupons.size() == s.ko_columns.size(),
            "one coupon per remaining knock-out date is needed");
    for (double c : s.coupons)
        require(std::isfinite(c), "coupons must be finite");
    for (auto cols : {s.ko_columns, s.ki_columns})
        for (std::int64_t c : cols)
            if (c < 0 || static_cast<std::size_t>(c) >= days.size())
                throw std::out_of_range("observation column " + std::to_string(c) +
                                        " is outside the grid of " +
                                        std::to_string(days.size()) + " trading days");
    for (std::size_t k = 1; k < s.ko_columns.size(); ++k)
        require(s.ko_columns[k] > s.ko_columns[k - 1],
                "knock-out columns must be strictly increasing (in date order)");
}

void check_grid(const Grid& grid) {
    require(grid.space_per_day_sd >= 0.5 && grid.space_per_day_sd <= 64.0 &&
                grid.steps_per_interval >= 1 && grid.steps_per_interval <= 64,
            "grid: space steps per one-day standard deviation from 0.5 to 64, time "
            "steps per interval from 1 to 64");
}

struct Space {
    double lower = 0.0;
    double h = 0.0;
    std::size_t n = 0;
    std::vector<double> spot; // price at each node
};

// The vol that sizes the grid's reach under a local market: the root mean square of the
// local vol over the life (each row by its days) and over the log spots within kTails
// standard deviations at `vol` of the spots, sampled evenly (the table held flat beyond
// its nodes).  Paths that wander over that range see about this vol on average; a spike of
// the table at one node and one row (the edge of a surface's strikes) does not widen it.
double path_vol(const LocalMarket& m, std::int64_t maturity_day, double vol,
                std::span<const double> spots) {
    constexpr int kSamples = 64;
    const std::int64_t days = std::max<std::int64_t>(maturity_day, 1);
    const double reach = kTails * vol * std::sqrt(static_cast<double>(days) * kDay);
    const double lo = std::log(*std::min_element(spots.begin(), spots.end())) - reach;
    const double hi = std::log(*std::max_element(spots.begin(), spots.end())) + reach;
    double sum = 0.0;
    for (std::size_t row = 0; row < m.vol_days.size(); ++row) {
        const std::int64_t a = std::min(m.vol_days[row], days);
        const std::int64_t b =
            row + 1 < m.vol_days.size() ? std::min(m.vol_days[row + 1], days) : days;
        double squares = 0.0;
        for (int k = 0; k <= kSamples; ++k) {
            const double v = m.vol_in_row(row, lo + (hi - lo) * k / kSamples);
            squares += v * v;
        }
        sum += squares / (kSamples + 1) * static_cast<double>(b - a);
    }
    return std::sqrt(sum / static_cast<double>(days));
}

// Log-spot nodes lower + i h.  Each barrier that matters sits half-way between two nodes:
// with both there, the error falls smoothly at second order as the grid is refined.
Space make_space(const AutocallTerms& t, std::int64_t maturity_day,
                 std::span<const Scenario> scenarios, std::span<const double> spots,
                 const Grid& grid, bool ki_matters, bool ko_matters, int refine,
                 double tail_vol) {
    double max_vol = tail_vol; // the paths' vol under a local market (path_vol)
    for (const Scenario& sc : scenarios)
        max_vol = std::max(max_vol, sc.vol);
    const double years = static_cast<double>(std::max<std::int64_t>(maturity_day, 1)) * kDay;
    double h = scenarios[0].vol * std::sqrt(kDay) / grid.space_per_day_sd;
    // The paths from the spots spread over a few standard deviations; structure beyond
    // (a strike or barrier far out of reach) makes no difference there.
    const double margin = kTails * max_vol * std::sqrt(years);
    const double lo = std::log(*std::min_element(spots.begin(), spots.end())) - margin - 2 * h;
    const double hi = std::log(*std::max_element(spots.begin(), spots.end())) + margin + 2 * h;
    auto inside = [&](double level) {
        return level > 0.0 && std::log(level) > lo && std::log(level) < hi;
    };
    ki_matters = ki_matters && inside(t.ki_barrier);
    ko_matters = ko_matters && reachable(t.ko_barrier) && inside(t.ko_barrier);
    if (ki_matters && ko_matters && t.ki_barrier != t.ko_barrier) {
        const double gap = std::fabs(std::log(t.ko_barrier) - std::log(t.ki_barrier));
        const double m = std::ceil(gap / h);
        if (gap / m >= kClosestAlignedStep * h)
            h = gap / m;
    }
    // Doubling keeps both barriers half-way between nodes only while the gap holds an even
    // number of steps; this happens only at the node cap, far outside any usual input.
    while ((hi - lo) / h + 3.0 > static_cast<double>(kMaxNodes))
        h *= 2.0;
    h /= refine;
    double anchor = inside(t.strike) ? std::log(t.strike) : std::log(spots[0]);
    if (ki_matters)
        anchor = std::log(t.ki_barrier) + h / 2;
    else if (ko_matters)
        anchor = std::log(t.ko_barrier) + h / 2;
    const double i_lo = std::floor((lo - anchor) / h);
    const double i_hi = std::ceil((hi - anchor) / h);
    Space sp;
    sp.h = h;
    sp.lower = anchor + i_lo * h;
    sp.n = static_cast<std::size_t>(std::max(i_hi - i_lo + 1.0, 5.0));
    sp.spot.resize(sp.n);
    for (std::size_t i = 0; i < sp.n; ++i)
        sp.spot[i] = std::exp(sp.lower + static_cast<double>(i) * h);
    return sp;
}

// One implicit system (I - theta dt L) for every layer of every scenario, factorised once:
// rows 1 .. n-2 are unknown, the two boundary nodes are extrapolated linearly in the spot
// from their two neighbours.  Arrays are [row][system], so that one step sweeps every
// system side by side.
struct Stepper {
    std::size_t n = 0, ns = 0;
    double theta = 1.0;
    std::vector<double> sub, cp, inv;       // [row * ns + sys]; sub already over the pivot
    std::vector<double> e_lo, e_di, e_up;   // explicit part (1 - theta) dt L, per system
    double ext_lo = 0.0, ext_hi = 0.0;      // e^{-h}, e^{h}
    bool per_node = false;                  // the explicit part per node and system

    // One step: (I - theta dt L) v_new = (I + (1 - theta) dt L) v_old.
    void step(std::vector<double>& v, std::vector<double>& rhs) const {
        sweep(v, rhs, theta < 1.0);
    }
    // The implicit system alone: (I - theta dt L) v_new = v_old.
    void implicit(std::vector<double>& v, std::vector<double>& rhs) const {
        sweep(v, rhs, false);
    }
    void sweep(std::vector<double>& v, std::vector<double>& rhs, bool with_explicit) const {
        const sweep::Step a{n,           ns,          with_explicit, per_node,
                            v.data(),    rhs.data(),  sub.data(),    cp.data(),
                            inv.data(),  e_lo.data(), e_di.data(),   e_up.data(),
                            ext_lo,      ext_hi};
        sweep::step(a);
    }
};

// Sizes `st` for ``ns`` systems on ``n`` nodes of step ``h`` (reusing its storage), its
// rows still to factorise.
void reset(Stepper& st, std::size_t n, std::size_t ns, double theta, double h) {
    st.n = n;
    st.ns = ns;
    st.theta = theta;
    st.ext_lo = std::exp(-h);
    st.ext_hi = std::exp(h);
    st.sub.assign(n * ns, 0.0);
    st.cp.assign(n * ns, 0.0);
    st.inv.assign(n * ns, 0.0);
}

// A stepper of ``ns`` systems on ``n`` nodes of step ``h``, its rows still to factorise.
Stepper unfactorised(std::size_t n, std::size_t ns, double theta, double h) {
    Stepper st;
    reset(st, n, ns, theta, h);
    return st;
}

// One row of the Thomas elimination of the implicit system, with the two far-boundary
// rows folded in (v_0 and v_{n-1} extrapolated linearly in log spot from the inside):
// stores row i of system s and reads the previous row's pivot.
void factorise_row(Stepper& st, std::size_t i, std::size_t s, double l, double d, double u) {
    const std::size_t S = st.ns;
    if (i == 1) { // v_0 = (1 + e^-h) v_1 - e^-h v_2
        d += l * (1.0 + st.ext_lo);
        u -= l * st.ext_lo;
        l = 0.0;
    }
    if (i == st.n - 2) { // v_{n-1} = (1 + e^h) v_{n-2} - e^h v_{n-3}
        d += u * (1.0 + st.ext_hi);
        l -= u * st.ext_hi;
        u = 0.0;
    }
    const double den = i == 1 ? d : d - l * st.cp[(i - 1) * S + s];
    st.sub[i * S + s] = l / den;
    st.inv[i * S + s] = 1.0 / den;
    st.cp[i * S + s] = u / den;
}


// The log-spot operator L v = a v'' + b v' - r v of one scenario, by central differences;
// where convection dominates diffusion over one step (cell Peclet number above 1, only at
// very low volatility) the convection term is taken upwind, which keeps the scheme monotone.
struct Operator {
    double lo, di, up;
};

Operator make_operator(const Scenario& sc, double h) {
    const double a = sc.vol * sc.vol / 2.0;
    const double b = sc.r - sc.q - a;
    const double d = a / (h * h);
    if (std::fabs(b) * h <= 2.0 * a)
        return {d - b / (2.0 * h), -2.0 * d - sc.r, d + b / (2.0 * h)};
    if (b > 0.0)
        return {d, -2.0 * d - b / h - sc.r, d + b / h};
    return {d - b / h, -2.0 * d + b / h - sc.r, d};
}

// The factorised implicit matrix I - c L of every layer of every scenario (c = theta dt).  A
// Crank-Nicolson step of length dt and an implicit step of length dt / 2 share one; the rows
// run outermost, so that the eliminations of the systems proceed side by side.
Stepper factorise(const std::vector<Operator>& ops, std::size_t layers, std::size_t n, double h,
                  double c) {
    Stepper st = unfactorised(n, ops.size() * layers, 1.0, h);
    const std::size_t S = st.ns;
    for (std::size_t i = 1; i + 1 < n; ++i)
        for (std::size_t s = 0; s < S; ++s) {
            const Operator& op = ops[s / layers];
            factorise_row(st, i, s, -c * op.lo, 1.0 - c * op.di, -c * op.up);
        }
    return st;
}

// The explicit part w L of a Crank-Nicolson step (w = dt / 2), per system.
struct Explicit {
    std::vector<double> lo, di, up;
};

Explicit explicit_part(const std::vector<Operator>& ops, std::size_t layers, double w) {
    Explicit e;
    for (std::size_t s = 0; s < ops.size() * layers; ++s) {
        const Operator& op = ops[s / layers];
        e.lo.push_back(w * op.lo);
        e.di.push_back(w * op.di);
        e.up.push_back(w * op.up);
    }
    return e;
}

// One Crank-Nicolson step: the implicit matrix factorised in `implicit`, the explicit part e.
void crank_nicolson(const Stepper& implicit, const Explicit& e, std::vector<double>& v,
                    std::vector<double>& rhs) {
    const sweep::Step a{implicit.n,          implicit.ns,         true,  false,
                        v.data(),            rhs.data(),          implicit.sub.data(),
                        implicit.cp.data(),  implicit.inv.data(), e.lo.data(),
                        e.di.data(),         e.up.data(),         implicit.ext_lo,
                        implicit.ext_hi};
    sweep::step(a);
}

// The implicit steps of `a` on `va` and of `b` on `vb`, independent of each other, in one pass.
void implicit_pair(const Stepper& a, std::vector<double>& va, std::vector<double>& work_a,
                   const Stepper& b, std::vector<double>& vb, std::vector<double>& work_b) {
    auto implicit = [](const Stepper& st, std::vector<double>& v, std::vector<double>& work) {
        return sweep::Step{st.n,          st.ns,         false,    false, v.data(), work.data(),
                           st.sub.data(), st.cp.data(),  st.inv.data(), nullptr, nullptr,
                           nullptr,       st.ext_lo,     st.ext_hi};
    };
    sweep::implicit_pair(implicit(a, va, work_a), implicit(b, vb, work_b));
}

// Under a local market the coefficients change from node to node and from vol row to vol
// row.  `st` becomes I - c L for the operators ops[node * n_solved + scenario], each
// scenario's rows eliminated once and copied to its layers (they share the equation).
// With `crank_nicolson` it is the Crank-Nicolson step of length 2c, whose explicit part
// c L is kept per node; its implicit matrix is also the implicit step of length c.
void factorise_local(Stepper& st, const std::vector<Operator>& ops, std::size_t n_solved,
                     std::size_t layers, std::size_t n, double h, double c,
                     bool crank_nicolson) {
    reset(st, n, n_solved * layers, crank_nicolson ? 0.5 : 1.0, h);
    st.per_node = crank_nicolson;
    const std::size_t S = st.ns;
    if (crank_nicolson) {
        st.e_lo.assign(n * S, 0.0);
        st.e_di.assign(n * S, 0.0);
        st.e_up.assign(n * S, 0.0);
    }
    for (std::size_t i = 1; i + 1 < n; ++i)
        for (std::size_t sc = 0; sc < n_solved; ++sc) {
            const Operator& op = ops[i * n_solved + sc];
            const std::size_t o = i * S + sc * layers;
            factorise_row(st, i, sc * layers, -c * op.lo, 1.0 - c * op.di, -c * op.up);
            for (std::size_t l = 1; l < layers; ++l) {
                st.sub[o + l] = st.sub[o];
                st.cp[o + l] = st.cp[o];
                st.inv[o + l] = st.inv[o];
            }
            if (crank_nicolson)
                for (std::size_t l = 0; l < layers; ++l) {
                    st.e_lo[o + l] = c * op.lo;
                    st.e_di[o + l] = c * op.di;
                    st.e_up[o + l] = c * op.up;
                }
        }
}

// The factorisations of the intervals with the same coefficients under a local market:
// `key` is the interval's length and time steps, then per scenario its vol row, mean rate
// and mean yield.  `full` (I - dt L) is factorised when a step after an observation first
// needs it.
struct LocalSteppers {
    std::vector<double> key;
    Stepper half; // Crank-Nicolson over dt; its implicit matrix I - dt/2 L is the half step
    Stepper full;
    bool has_full = false;
};

// Cubic Lagrange interpolation of column `s` of `v` ([node][system]) at log spot x.
double interpolate(const std::vector<double>& v, std::size_t S, std::size_t s,
                   const Space& sp, double x) {
    const double pos = (x - sp.lower) / sp.h;
    const double fl = std::clamp(std::floor(pos), 1.0, static_cast<double>(sp.n) - 3.0);
    const std::size_t i = static_cast<std::size_t>(fl);
    const double u = pos - fl;
    const double w0 = -u * (u - 1.0) * (u - 2.0) / 6.0;
    const double w1 = (u + 1.0) * (u - 1.0) * (u - 2.0) / 2.0;
    const double w2 = -(u + 1.0) * u * (u - 2.0) / 2.0;
    const double w3 = (u + 1.0) * u * (u - 1.0) / 6.0;
    return w0 * v[(i - 1) * S + s] + w1 * v[i * S + s] + w2 * v[(i + 1) * S + s] +
           w3 * v[(i + 2) * S + s];
}

} // namespace

Grid choose_grid(double years, double vol, double knock_in_distance) {
    // The space step follows the volatility (a fixed fraction of the one-day standard
    // deviation) and the time steps follow the trading days, so the resolution of the daily
    // observations is the same at every volatility and maturity; the work grows with the
    // maturity as years^1.5 (nodes as its square root, steps linearly).  With the two
    // extrapolated space grids and the extrapolated start after each observation, (1.25, 2)
    // meets 8e-4 per 100 of spot on the value over vol 15-40 %, 6 months to 3 years, and
    // gamma to 0.1 % (tests/test_autocall_pde.py holds the table).
    // Within a few days of maturity, or a few one-day standard deviations from the
    // knock-in barrier, tomorrow's jump has no time to smooth out before the valuation:
    // twice the space resolution and twice or four times the time steps (a small grid then,
    // or a small share of the spots of a book).
    (void)vol;
    if (years * 365.0 < 30.0)
        return {3.0, 8};
    if (knock_in_distance < 4.0)
        return {3.0, 4};
    return {1.25, 2};
}

Result solve(const AutocallTerms& terms, const Schedule& schedule,
             std::span<const Scenario> scenarios, std::span<const double> spots,
             std::span<const Reading> readings, const Grid& wanted,
             std::span<const LocalMarket> markets) {
    check_inputs(terms, schedule, scenarios, spots, readings);
    const auto& days = schedule.column_days;
    const bool local = !markets.empty();
    if (local) {
        require(markets.size() == scenarios.size(), "one local market per scenario is needed");
        for (const LocalMarket& m : markets)
            check_local_market(m, days.back());
    }
    const std::size_t n_cols = days.size();
    const bool phoenix = terms.rule == CouponRule::phoenix;

    // Which layers are solved: the not-knocked-in one when a reading starts there, the
    // knocked-in one when a reading starts there or the other can knock into it.
    bool need_u = false, need_w = false;
    for (const Reading& r : readings)
        (r.knocked_in ? need_w : need_u) = true;
    if (need_u && !schedule.ki_columns.empty())
        need_w = true;
    const std::size_t layers = (need_u ? 1 : 0) + (need_w ? 1 : 0);
    const std::size_t iu = 0, iw = need_u ? 1 : 0;
    const std::size_t n_sc = scenarios.size(), n_sp = spots.size();

    // Per column: knock-out index (or -1) and knock-in flag.
    std::vector<std::int64_t> ko_at(n_cols, -1);
    std::vector<unsigned char> ki_at(n_cols, 0);
    for (std::size_t k = 0; k < schedule.ko_columns.size(); ++k)
        ko_at[static_cast<std::size_t>(schedule.ko_columns[k])] = static_cast<std::int64_t>(k);
    for (std::int64_t c : schedule.ki_columns)
        ki_at[static_cast<std::size_t>(c)] = 1;
    const bool ki_matters = (need_u && !schedule.ki_columns.empty()) ||
                            (phoenix && !schedule.ko_columns.empty());
    const bool ko_matters = !schedule.ko_columns.empty();

    Grid grid = wanted;
    if (grid.space_per_day_sd == 0.0 || grid.steps_per_interval == 0) {
        double distance = std::numeric_limits<double>::infinity();
        if (need_u && !schedule.ki_columns.empty() && terms.ki_barrier > 0.0)
            for (double x : spots)
                distance = std::min(distance, std::fabs(std::log(x / terms.ki_barrier)) /
                                                  (scenarios[0].vol * std::sqrt(kDay)));
        const Grid chosen =
            choose_grid(static_cast<double>(days.back()) * kDay, scenarios[0].vol, distance);
        if (grid.space_per_day_sd == 0.0)
            grid.space_per_day_sd = chosen.space_per_day_sd;
        if (grid.steps_per_interval == 0)
            grid.steps_per_interval = chosen.steps_per_interval;
    }
    check_grid(grid);

    // What each reading observes on its own day, if that is a trading day, and which layer
    // each of its spots continues in afterwards.
    std::vector<std::int64_t> read_ko(readings.size(), -1);
    std::vector<unsigned char> in_layer(readings.size() * n_sp);
    for (std::size_t r = 0; r < readings.size(); ++r) {
        const auto at = std::lower_bound(days.begin(), days.end(), readings[r].day);
        const bool trading = at != days.end() && *at == readings[r].day;
        const std::size_t c = static_cast<std::size_t>(at - days.begin());
        if (trading)
            read_ko[r] = ko_at[c];
        for (std::size_t j = 0; j < n_sp; ++j)
            in_layer[r * n_sp + j] = readings[r].knocked_in ||
                                     (trading && ki_at[c] && spots[j] < terms.ki_barrier);
    }

    // Backwards over the days that matter: every trading day and every reading day.
    std::vector<std::int64_t> stops(days.begin(), days.end());
    for (const Reading& r : readings)
        stops.push_back(r.day);
    std::sort(stops.begin(), stops.end());
    stops.erase(std::unique(stops.begin(), stops.end()), stops.end());
    const double maturity_years = static_cast<double>(days.back()) * kDay;

    // The continuation values at every reading (before the observations of its day), at
    // every scenario and spot, on one grid: [reading][scenario][spot].
    auto continuation = [&](const Space& sp, std::span<const Scenario> solved,
                            std::span<const LocalMarket> solved_markets) {
        const std::size_t n = sp.n;
        const std::size_t n_solved = solved.size(), S = n_solved * layers;
        std::vector<Operator> ops;
        for (const Scenario& sc : solved)
            ops.push_back(make_operator(sc, sp.h));
        // Per interval (length, substeps): the Crank-Nicolson step, the implicit half and
        // full steps after an observation, on factorisations kept by implicit coefficient.
        struct Interval {
            const Stepper* cn;
            Explicit e;
            const Stepper* half;
            const Stepper* full;
        };
        std::map<double, Stepper> factorised;
        std::map<std::int64_t, Interval> steppers;

        // Under a local market: the coefficients of an interval are its mean forward rate
        // and yield and the local vol of the row in force on its first day, at every node
        // (the Monte Carlo engine's step reads the same).  Going backwards, the intervals
        // of one row come together: the operators are built once per row (and rates), and
        // the factorisations kept for its intervals of the same length; storage is reused.
        std::vector<LocalSteppers> local_pool;
        std::size_t local_used = 0;
        std::vector<double> ops_key, key;
        std::vector<Operator> row_ops(local ? n * n_solved : 0);
        auto local_stepper = [&](std::int64_t day, std::int64_t now, std::int64_t length,
                                 int substeps) -> LocalSteppers& {
            key.assign({static_cast<double>(length), static_cast<double>(substeps)});
            for (std::size_t sc = 0; sc < n_solved; ++sc) {
                const LocalMarket& m = solved_markets[sc];
                key.push_back(static_cast<double>(m.row_at(day)));
                key.push_back(LocalMarket::mean(m.rate, day, now));
                key.push_back(LocalMarket::mean(m.yield, day, now));
            }
            for (std::size_t k = 0; k < local_used; ++k)
                if (local_pool[k].key == key)
                    return local_pool[k];
            if (!std::equal(key.begin() + 2, key.end(), ops_key.begin(), ops_key.end())) {
                ops_key.assign(key.begin() + 2, key.end());
                local_used = 0; // kept for other coefficients: not met again
                for (std::size_t sc = 0; sc < n_solved; ++sc) {
                    const LocalMarket& m = solved_markets[sc];
                    const std::size_t row = static_cast<std::size_t>(ops_key[3 * sc]);
                    const double r = ops_key[3 * sc + 1], q = ops_key[3 * sc + 2];
                    for (std::size_t i = 0; i < n; ++i) {
                        const double x = sp.lower + static_cast<double>(i) * sp.h;
                        row_ops[i * n_solved + sc] =
                            make_operator({r, q, m.vol_in_row(row, x)}, sp.h);
                    }
                }
            }
            if (local_used == local_pool.size())
                local_pool.emplace_back();
            LocalSteppers& ls = local_pool[local_used++];
            ls.key = key;
            ls.has_full = false;
            const double dt = static_cast<double>(length) * kDay / substeps;
            factorise_local(ls.half, row_ops, n_solved, layers, n, sp.h, dt / 2.0, true);
            return ls;
        };

        // Observations of column c on every node, backwards: knock-in first (the
        // continuation of the knocked-in layer), then knock-out and coupons on both layers.
        auto observe = [&](std::vector<double>& v, std::size_t c) {
            const bool ki_day = ki_at[c] && need_u && need_w;
            const std::int64_t k = ko_at[c];
            if (!ki_day && k < 0)
                return false;
            const double coupon = k >= 0 ? schedule.coupons[static_cast<std::size_t>(k)] : 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double s_i = sp.spot[i];
                const bool out = s_i > terms.ko_barrier;
                const double paid = phoenix && s_i < terms.ki_barrier ? 0.0 : coupon;
                for (std::size_t sc = 0; sc < n_solved; ++sc) {
                    double* x = &v[i * S + sc * layers];
                    if (ki_day && s_i < terms.ki_barrier)
                        x[iu] = x[iw];
                    if (k < 0)
                        continue;
                    for (std::size_t l = 0; l < layers; ++l)
                        x[l] = out ? paid : (phoenix ? x[l] + paid : x[l]);
                }
            }
            return true;
        };

        // Value at maturity, after its observations: the loss in the knocked-in layer; in
        // the other, a snowball's coupon for neither knocking in nor out, paid as if on its
        // last knock-out date (grown to maturity here, discounted back with the rest).
        std::vector<double> v(n * S), rhs(n * S), other(n * S), spare(n * S);
        for (std::size_t sc = 0; sc < n_solved; ++sc) {
            double non_touch = 0.0;
            if (!phoenix && !schedule.coupons.empty()) {
                const std::size_t last = static_cast<std::size_t>(schedule.ko_columns.back());
                const double t_last = static_cast<double>(days[last]) * kDay;
                if (local) {
                    double grown = 0.0;
                    for (std::int64_t d = days[last]; d < days.back(); ++d)
                        grown += solved_markets[sc].rate[static_cast<std::size_t>(d)];
                    non_touch = schedule.coupons.back() * std::exp(grown * kDay);
                } else {
                    non_touch = schedule.coupons.back() *
                                std::exp(solved[sc].r * (maturity_years - t_last));
                }
            }
            for (std::size_t i = 0; i < n; ++i) {
                double* x = &v[i * S + sc * layers];
                if (need_u)
                    x[iu] = non_touch;
                if (need_w)
                    x[iw] = std::min(sp.spot[i] - terms.strike, 0.0);
            }
        }

        std::vector<double> out(readings.size() * n_solved * n_sp);
        std::int64_t now = days.back();
        bool rough = true; // the payoff at maturity has kinks and jumps
        std::size_t col = n_cols; // one past the next column to observe, going backwards
        for (auto it = stops.rbegin(); it != stops.rend(); ++it) {
            const std::int64_t day = *it;
            if (day < now) {
                // steps_per_interval steps per interval between two stops, whatever its length:
                // no observation falls inside, and the solution there is smooth.  The interval
                // that starts on a reading day has had no time to smooth the jumps of the
                // observation that ends it, so it takes kNearReading times as many.
                const std::int64_t length = now - day;
                const bool near = std::any_of(readings.begin(), readings.end(),
                                              [&](const Reading& r) { return r.day == day; });
                const int substeps = grid.steps_per_interval * (near ? kNearReading : 1);
                if (local) {
                    LocalSteppers& ls = local_stepper(day, now, length, substeps);
                    for (int m = 0; m < substeps; ++m) {
                        if (!rough) {
                            ls.half.step(v, rhs);
                            continue;
                        }
                        if (!ls.has_full) {
                            factorise_local(ls.full, row_ops, n_solved, layers, n, sp.h,
                                            ls.key[0] * kDay / ls.key[1], false);
                            ls.has_full = true;
                        }
                        std::copy(v.begin(), v.end(), other.begin());
                        ls.full.implicit(other, rhs);
                        ls.half.implicit(v, rhs);
                        ls.half.implicit(v, rhs);
                        for (std::size_t i = 0; i < v.size(); ++i)
                            v[i] = 2.0 * v[i] - other[i];
                        rough = false;
                    }
                } else {
                const std::int64_t key = length * 4096 + substeps;
                auto found = steppers.find(key);
                if (found == steppers.end()) {
                    const double dt = static_cast<double>(length) * kDay / substeps;
                    // by the implicit coefficient: an interval's Crank-Nicolson and half
                    // steps share it, and a full step shares that of an interval twice as long
                    auto implicit = [&](double c) -> const Stepper* {
                        auto f = factorised.find(c);
                        if (f == factorised.end())
                            f = factorised.emplace(c, factorise(ops, layers, n, sp.h, c)).first;
                        return &f->second;
                    };
                    found = steppers
                                .emplace(key, Interval{implicit(0.5 * dt),
                                                       explicit_part(ops, layers, 0.5 * dt),
                                                       implicit(dt / 2.0), implicit(dt)})
                                .first;
                }
                const Interval& steps = found->second;
                const Stepper &half = *steps.half, &full = *steps.full;
                for (int m = 0; m < substeps; ++m) {
                    if (!rough) {
                        crank_nicolson(*steps.cn, steps.e, v, rhs);
                        continue;
                    }
                    // After an observation: two implicit half steps damp the fresh jumps
                    // (Rannacher); extrapolated with one implicit full step, 2 B - A, the
                    // start is second-order accurate too.
                    // (the full step and the first half step are independent: one pass)
                    std::copy(v.begin(), v.end(), other.begin());
                    implicit_pair(full, other, rhs, half, v, spare);
                    half.step(v, rhs);
                    for (std::size_t i = 0; i < v.size(); ++i)
                        v[i] = 2.0 * v[i] - other[i];
                    rough = false;
                }
                }
            }
            now = day;
            for (std::size_t r = 0; r < readings.size(); ++r) {
                if (readings[r].day != day)
                    continue;
                for (std::size_t sc = 0; sc < n_solved; ++sc)
                    for (std::size_t j = 0; j < n_sp; ++j) {
                        const std::size_t layer = in_layer[r * n_sp + j] ? iw : iu;
                        out[(r * n_solved + sc) * n_sp + j] =
                            interpolate(v, S, sc * layers + layer, sp, std::log(spots[j]));
                    }
            }
            if (col > 0 && days[col - 1] == day) {
                --col;
                if (observe(v, col))
                    rough = true;
            }
        }
        return out;
    };

    // Two grids, the second with half the space step, extrapolated: (4 fine - coarse) / 3
    // removes the leading, second-order, error of the space step.  The coarse grid solves
    // the first scenario only, and its correction applies to every scenario: the moved
    // scenarios differ from the first on the fine grid (their differences, the
    // sensitivities, carry a small part of the space error; it changes slowly with them).
    double tail_vol = 0.0;
    for (const LocalMarket& m : markets)
        tail_vol = std::max(tail_vol, path_vol(m, days.back(), scenarios[0].vol, spots));
    const Space coarse = make_space(terms, days.back(), scenarios, spots, grid, ki_matters,
                                    ko_matters, 1, tail_vol);
    const Space fine = make_space(terms, days.back(), scenarios, spots, grid, ki_matters,
                                  ko_matters, 2, tail_vol);
    const std::vector<double> vc =
        continuation(coarse, scenarios.first(1), local ? markets.first(1) : markets);
    const std::vector<double> vf = continuation(fine, scenarios, markets);

    Result res;
    res.scenarios = n_sc;
    res.spots = n_sp;
    res.space_step = fine.h;
    res.nodes = coarse.n + fine.n;
    res.lower = fine.lower;
    res.grid = grid;
    res.values.resize(vf.size());
    for (std::size_t r = 0; r < readings.size(); ++r)
        for (std::size_t sc = 0; sc < n_sc; ++sc)
            for (std::size_t j = 0; j < n_sp; ++j) {
                const std::size_t at = (r * n_sc + sc) * n_sp + j;
                const std::size_t base = (r * n_sc) * n_sp + j;
                double value = vf[at] + (vf[base] - vc[r * n_sp + j]) / 3.0;
                // the observations of the reading day, at the spot itself
                if (const std::int64_t k = read_ko[r]; k >= 0) {
                    const double coupon = schedule.coupons[static_cast<std::size_t>(k)];
                    const double s = spots[j];
                    const double paid = phoenix && s < terms.ki_barrier ? 0.0 : coupon;
                    if (s > terms.ko_barrier)
                        value = paid;
                    else if (phoenix)
                        value += paid;
                }
                res.values[at] = value;
            }
    return res;
}

} // namespace velmora::autocall_pde
