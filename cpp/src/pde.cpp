// Finite-difference valuation of single-barrier and vanilla options under Black-Scholes.
#include "velmora/pde.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "require.hpp"

namespace velmora::pde {
namespace {

// The grid reaches this many standard deviations (vol * sqrt(T)) beyond the spot and the
// strike; the far boundary value is then the vanilla's asymptote, off by less than 1e-9 of it.
constexpr double kWidth = 6.0;
// The first two time steps are taken as four implicit Euler half-steps (Rannacher start).
constexpr int kImplicitHalfSteps = 4;
// Largest grids accepted: beyond these a valuation would take minutes.
constexpr long kMaxSteps = 1'000'000;
constexpr double kMaxWork = 4e9; // nodes times time steps
// Most nodes of one lattice: a few vectors of this many doubles stay within about 1 GB.
constexpr double kMaxNodes = 2e7;
// The automatic grid stays within this work (nodes times time steps, about a second).
constexpr double kAutoWork = 2e8;
// The automatic grid's space step h in log spot is at most kMaxLogStep (the payoff's kink and
// the cubic interpolation at the spot need it however wide the distribution is) and at most
// kStepTimesSd / (vol * sqrt(T)): the operator's error over the life grows like (h vol)^2 T,
// which this keeps near 1e-3 of the value.  Neither bites below vol * sqrt(T) of about 1.7.
constexpr double kMaxLogStep = 0.05;
constexpr double kStepTimesSd = 0.1;
// Log spot of every grid node stays within this: exp() of it, times the stencil's weights
// (up to about 1e12 on the automatic grids), is a finite double.
constexpr double kLogLimit = 500.0;
// Below this standard deviation of log spot over the life (vol * sqrt(T)) the diffusion is
// degenerate: the value is the deterministic limit, the spot moving at the carry r - q.  The
// limit is off by about this fraction of the spot (the value of the diffusion's spread).
constexpr double kDegenerateSd = 1e-4;
// Penalty factor of the penalty iteration: the value may sit below the payoff by about
// payoff / kPenalty where exercise is optimal.
constexpr double kPenalty = 1e10;

void validate(const Contract& c, const Market& m) {
    require(std::isfinite(m.spot) && m.spot > 0.0, "spot must be a positive finite number");
    if (!m.times.empty()) {
        const std::size_t n = m.times.size();
        require(m.int_rate.size() == n && m.int_dividend.size() == n &&
                    m.int_variance.size() == n,
                "one integral of rate, dividend yield and variance per time is needed");
        require(m.times[0] == 0.0 && m.int_rate[0] == 0.0 && m.int_dividend[0] == 0.0 &&
                    m.int_variance[0] == 0.0,
                "the integrals start at 0 on the valuation date");
        for (std::size_t i = 1; i < n; ++i)
            require(std::isfinite(m.times[i]) && m.times[i] > m.times[i - 1] &&
                        std::isfinite(m.int_rate[i]) && std::isfinite(m.int_dividend[i]) &&
                        std::isfinite(m.int_variance[i]) &&
                        m.int_variance[i] >= m.int_variance[i - 1],
                    "times must ascend, integrals be finite and the variance not fall");
        require(m.times[n - 1] >= c.maturity * (1.0 - 1e-12),
                "the integrals must reach maturity");
    }
    require(std::isfinite(m.vol) && m.vol > 0.0, "vol must be a positive finite number");
    require(std::isfinite(m.rate), "rate must be a finite number");
    require(std::isfinite(m.dividend), "dividend yield must be a finite number");
    require(std::isfinite(c.strike) && c.strike >= 0.0,
            "strike must be a finite number, zero or more");
    require(std::isfinite(c.maturity) && c.maturity >= 0.0,
            "maturity must be a finite number of years, zero or more");
    require(std::isfinite(c.exercise_from), "exercise start must be a finite number of years");
}

void validate(const Barrier& b) {
    require(std::isfinite(b.level) && b.level > 0.0, "barrier must be a positive finite number");
    require(std::isfinite(b.rebate), "rebate must be a finite number");
}

void validate(const Grid& g) {
    require(g.steps_per_sd >= 2 && g.steps_per_sd <= kMaxSteps,
            "space steps per standard deviation must lie between 2 and 1000000");
    require(g.time_steps >= 2 && g.time_steps <= kMaxSteps,
            "time steps must lie between 2 and 1000000");
}

bool knock_out(BarrierKind k) { return k == BarrierKind::down_out || k == BarrierKind::up_out; }
bool is_down(BarrierKind k) { return k == BarrierKind::down_in || k == BarrierKind::down_out; }

double intrinsic(const Contract& c, double s) {
    return c.call ? std::max(s - c.strike, 0.0) : std::max(c.strike - s, 0.0);
}

// Mean of the payoff over the cell [x - h/2, x + h/2] in log spot: the terminal condition
// that keeps second-order convergence wherever the strike falls between nodes.
double cell_payoff(const Contract& c, double x, double h) {
    const double lo = x - 0.5 * h, hi = x + 0.5 * h;
    const double K = c.strike;
    const double kx = K > 0.0 ? std::log(K) : -INFINITY;
    if (c.call) {
        if (kx <= lo)
            return (std::exp(hi) - std::exp(lo)) / h - K;
        if (kx >= hi)
            return 0.0;
        return (std::exp(hi) - K - K * (hi - kx)) / h;
    }
    if (kx >= hi)
        return K - (std::exp(hi) - std::exp(lo)) / h;
    if (kx <= lo)
        return 0.0;
    return (K * (kx - lo) - (K - std::exp(lo))) / h;
}

// The integral of a tabulated quantity to time t (linear between the times).
double integral_to(std::span<const double> times, std::span<const double> cum, double t) {
    if (t <= 0.0)
        return 0.0;
    const auto it = std::upper_bound(times.begin(), times.end(), t);
    const std::size_t i = std::min<std::size_t>(
        static_cast<std::size_t>(std::max<std::ptrdiff_t>(it - times.begin(), 1)),
        times.size() - 1);
    const double t0 = times[i - 1], t1 = times[i];
    return cum[i - 1] + (cum[i] - cum[i - 1]) * (t - t0) / (t1 - t0);
}

// The market over calendar times [a, b]: the means of the rate, dividend yield and variance
// there; the market itself without term structures (the same bits).
Market over(const Market& m, double a, double b) {
    if (m.times.empty() || !(b > a))
        return m;
    Market s = m;
    const double span = b - a;
    s.rate = (integral_to(m.times, m.int_rate, b) - integral_to(m.times, m.int_rate, a)) / span;
    s.dividend = (integral_to(m.times, m.int_dividend, b) -
                  integral_to(m.times, m.int_dividend, a)) / span;
    s.vol = std::sqrt(std::max(integral_to(m.times, m.int_variance, b) -
                                   integral_to(m.times, m.int_variance, a),
                               0.0) / span);
    return s;
}

// Value far from the barrier and the strike: zero on the out-of-the-money side, the forward
// intrinsic value (or the intrinsic value, if exercise pays more) on the other.
double far_value(const Contract& c, const Market& m, double s, double tau, bool exercisable,
                 bool high_end) {
    if (c.call != high_end)
        return 0.0;
    const double fwd = c.call ? s * std::exp(-m.dividend * tau) - c.strike * std::exp(-m.rate * tau)
                              : c.strike * std::exp(-m.rate * tau) - s * std::exp(-m.dividend * tau);
    double v = std::max(fwd, 0.0);
    if (exercisable)
        v = std::max(v, intrinsic(c, s));
    return v;
}

// Time levels from expiry (tau = 0) back to now, uniform in sqrt(tau): the steps are short
// where the value changes fastest, next to expiry, which keeps the convergence of second
// order when an exercise boundary starts at the strike.  The first two steps are four implicit
// Euler half-steps (Rannacher), the rest Crank-Nicolson.
struct Levels {
    std::vector<double> tau;   // tau[0] = 0 ... tau.back() = maturity
    std::vector<double> theta; // theta[k]: implicitness of the step from tau[k] to tau[k + 1]
};

Levels make_levels(double maturity, int steps) {
    Levels lv;
    const auto at = [&](double k) {
        const double s = k / steps;
        return maturity * s * s;
    };
    lv.tau.push_back(0.0);
    for (int k = 1; k <= kImplicitHalfSteps; ++k) {
        lv.tau.push_back(at(0.5 * k));
        lv.theta.push_back(1.0);
    }
    for (int k = kImplicitHalfSteps / 2 + 1; k <= steps; ++k) {
        lv.tau.push_back(k == steps ? maturity : at(k));
        lv.theta.push_back(0.5);
    }
    return lv;
}

// Where early exercise may be optimal: below a boundary (puts), above one (calls), or on a
// set the projection cannot reach in one sweep.
enum class Exercise { none, low, high, any };

// The Black-Scholes operator in log spot on a uniform grid, as a constant tridiagonal stencil.
struct Stencil {
    double a, b, c; // weights of nodes j - 1, j, j + 1
};

Stencil make_stencil(const Market& m, double h) {
    const double diff = 0.5 * m.vol * m.vol / (h * h);
    const double drift = (m.rate - m.dividend - 0.5 * m.vol * m.vol) / (2.0 * h);
    return {diff - drift, -2.0 * diff - m.rate, diff + drift};
}

// A grid of nodes x0 + j h, j = lo..hi, with Dirichlet values on its two end nodes.  Node
// offsets are 64-bit and every lattice has been sized by `checked_offset` / `check_nodes`.
class Lattice {
  public:
    Lattice(double x0, double h, std::int64_t lo, std::int64_t hi, const Stencil& st)
        : x0_(x0), h_(h), lo_(lo), n_(static_cast<std::size_t>(hi - lo + 1)), st_(st),
          u_(n_), rhs_(n_), work_(n_) {}

    std::size_t size() const { return n_; }
    void set_stencil(const Stencil& st) { st_ = st; }
    double x(std::size_t i) const { return x0_ + (lo_ + static_cast<std::int64_t>(i)) * h_; }
    double spot(std::size_t i) const { return std::exp(x(i)); }
    std::vector<double>& values() { return u_; }
    const std::vector<double>& values() const { return u_; }
    std::size_t index_of_offset(std::int64_t j) const {
        return static_cast<std::size_t>(j - lo_);
    }

    // One step of length dt with implicitness theta; the end nodes take the values `low` and
    // `high`.  With `payoff` given, the result is projected on it on the `side` named.
    void advance(double dt, double theta, double low, double high,
                 const std::vector<double>* payoff, Exercise side) {
        const std::size_t n = n_;
        const double e = (1.0 - theta) * dt, im = theta * dt;
        for (std::size_t i = 1; i + 1 < n; ++i)
            rhs_[i] = u_[i] + e * (st_.a * u_[i - 1] + st_.b * u_[i] + st_.c * u_[i + 1]);
        rhs_[1] += im * st_.a * low;
        rhs_[n - 2] += im * st_.c * high;
        u_[0] = low;
        u_[n - 1] = high;
        const double sub = -im * st_.a, diag = 1.0 - im * st_.b, sup = -im * st_.c;
        if (payoff == nullptr)
            side = Exercise::none;
        if (side == Exercise::any) {
            penalty_solve(sub, diag, sup, *payoff);
            return;
        }
        if (side == Exercise::low) {
            // Eliminate from the top, substitute from the bottom: each node is projected
            // once its lower neighbour is final (Brennan-Schwartz for a put).
            double d = diag;
            work_[n - 2] = d;
            for (std::size_t i = n - 2; i-- > 1;) {
                const double mlt = sup / d;
                d = diag - mlt * sub;
                rhs_[i] -= mlt * rhs_[i + 1];
                work_[i] = d;
            }
            // The end nodes are already on the right-hand side.
            double below = 0.0;
            for (std::size_t i = 1; i + 1 < n; ++i) {
                u_[i] = std::max((rhs_[i] - sub * below) / work_[i], (*payoff)[i]);
                below = u_[i];
            }
            return;
        }
        // Eliminate from the bottom, substitute from the top (Brennan-Schwartz for a call).
        double d = diag;
        work_[1] = d;
        for (std::size_t i = 2; i + 1 < n; ++i) {
            const double mlt = sub / d;
            d = diag - mlt * sup;
            rhs_[i] -= mlt * rhs_[i - 1];
            work_[i] = d;
        }
        double above = 0.0;
        for (std::size_t i = n - 1; i-- > 1;) {
            const double v = (rhs_[i] - sup * above) / work_[i];
            u_[i] = side == Exercise::high ? std::max(v, (*payoff)[i]) : v;
            above = u_[i];
        }
    }

    // Cubic interpolation at log spot x from the four nearest nodes.
    double at(double x) const {
        const double pos = (x - x0_) / h_ - lo_;
        std::int64_t j0 = static_cast<std::int64_t>(std::floor(pos)) - 1;
        j0 = std::clamp<std::int64_t>(j0, 0, static_cast<std::int64_t>(n_) - 4);
        const double t = pos - j0;
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            double w = 1.0;
            for (int l = 0; l < 4; ++l)
                if (l != k)
                    w *= (t - l) / (k - l);
            sum += w * u_[static_cast<std::size_t>(j0 + k)];
        }
        return sum;
    }

  private:
    // Penalty iteration: solve (A + P) v = rhs + P g with P large on the nodes where the
    // last iterate sits below the payoff, until that set no longer changes.
    //
    // Why it stops: when the step matrix A is an M-matrix (non-positive off-diagonals and a
    // dominant diagonal: the stencil's weights a and c are not negative, which the automatic
    // grids give), each iterate after the first lies at or above the one before (Forsyth and
    // Vetzal, "Quadratic convergence for valuing American options using a penalty method",
    // SIAM J. Sci. Comput. 23, 2002): the difference of two iterates solves (A + P_k) d = r
    // with r >= 0 node by node, and (A + P_k) has a non-negative inverse.  The set of nodes
    // below the payoff then only shrinks, so it settles after at most one round per interior
    // node.  A set still changing after that many rounds (and never before 100) means the
    // argument does not hold for this grid: the solve is refused rather than returning an
    // unsettled value.
    void penalty_solve(double sub, double diag, double sup, const std::vector<double>& g) {
        const std::size_t n = n_;
        std::vector<char> active(n, 0), next(n, 0);
        for (std::size_t i = 1; i + 1 < n; ++i)
            active[i] = u_[i] < g[i];
        std::vector<double> dd(n), rr(n);
        const std::size_t rounds = std::max<std::size_t>(n, 100); // n - 2 interior nodes + 2
        for (std::size_t iter = 0;; ++iter) {
            if (iter == rounds)
                throw std::runtime_error(
                    "the early-exercise iteration did not settle within " +
                    std::to_string(rounds) +
                    " rounds; a finer space grid (more steps per standard deviation) keeps "
                    "the finite-difference stencil monotone");
            for (std::size_t i = 1; i + 1 < n; ++i) {
                dd[i] = diag + (active[i] ? kPenalty : 0.0);
                rr[i] = rhs_[i] + (active[i] ? kPenalty * g[i] : 0.0);
            }
            for (std::size_t i = 2; i + 1 < n; ++i) {
                const double mlt = sub / dd[i - 1];
                dd[i] -= mlt * sup;
                rr[i] -= mlt * rr[i - 1];
            }
            double above = 0.0;
            for (std::size_t i = n - 1; i-- > 1;) {
                u_[i] = (rr[i] - sup * above) / dd[i];
                above = u_[i];
            }
            bool same = true;
            for (std::size_t i = 1; i + 1 < n; ++i) {
                next[i] = u_[i] < g[i];
                same = same && next[i] == active[i];
            }
            if (same)
                break;
            active.swap(next);
        }
    }

    double x0_, h_;
    std::int64_t lo_;
    std::size_t n_;
    Stencil st_;
    std::vector<double> u_, rhs_, work_;
};

std::vector<double> payoff_on(const Lattice& lat, const Contract& c) {
    std::vector<double> g(lat.size());
    for (std::size_t i = 0; i < g.size(); ++i)
        g[i] = intrinsic(c, lat.spot(i));
    return g;
}

void set_terminal(Lattice& lat, const Contract& c, double h) {
    auto& u = lat.values();
    for (std::size_t i = 0; i < u.size(); ++i)
        u[i] = cell_payoff(c, lat.x(i), h);
}

bool exercisable(const Contract& c, double maturity, double tau) {
    // Calendar time now + (maturity - tau) must have reached the start of the exercise window;
    // the small slack keeps a start that falls on a time level inside the window.
    return c.american && maturity - tau >= c.exercise_from - 1e-12 * std::max(1.0, maturity);
}

// The node offset nearest `steps` (already rounded) as a 64-bit integer, refused when the
// lattice would need more nodes than any valuation may take.
std::int64_t checked_offset(double steps) {
    require(std::isfinite(steps) && std::fabs(steps) <= kMaxNodes,
            "grid too large: more than 2e7 nodes in log spot (a space step far too small for "
            "the distance between spot, strike and barrier)");
    return static_cast<std::int64_t>(steps);
}

void check_work(double nodes, int steps) {
    require(nodes <= kMaxNodes, "grid too large: more than 2e7 nodes in log spot");
    require(nodes * (steps + 2.0) <= kMaxWork, "grid too large: nodes times time steps above 4e9");
}

struct Span {
    double lo, hi; // log-spot range that matters for the value
};

// From kWidth standard deviations below the lower of spot and strike to as many above the
// higher one, cut at kLogLimit: beyond it exp() overflows.  The cut only bites for a standard
// deviation above about 100 (vol 14 over 50 years), where the far values used at the ends
// (zero, or the forward intrinsic value) are within the strike of the exact ones, and reaching
// either end is that unlikely.
Span relevant(const Contract& c, const Market& m, double sd) {
    const double xs = std::log(m.spot);
    const double xk = c.strike > 0.0 ? std::log(c.strike) : xs;
    const Span s{std::max(std::min(xs, xk) - kWidth * sd, -kLogLimit),
                 std::min(std::max(xs, xk) + kWidth * sd, kLogLimit)};
    require(s.lo < xs && xs < s.hi && s.lo < s.hi,
            "spot or strike outside the range a grid in log spot can hold (exp of +-500)");
    return s;
}

double sd_of(const Contract& c, const Market& m) { return m.vol * std::sqrt(c.maturity); }

// Space step of the grid: a standard deviation over the steps per standard deviation.
double step_of(const Contract& c, const Market& m, const Grid& g) {
    return sd_of(c, m) / g.steps_per_sd;
}

double solve_vanilla(const Contract& c, const Market& m, const Grid& g) {
    const double T = c.maturity;
    const double sd = sd_of(c, m);
    const double h = step_of(c, m, g);
    const Span span = relevant(c, m, sd);
    const double x0 = std::log(m.spot);
    const std::int64_t lo = checked_offset(std::floor((span.lo - x0) / h));
    const std::int64_t hi = checked_offset(std::ceil((span.hi - x0) / h));
    check_work(static_cast<double>(hi - lo + 1), g.time_steps);
    Lattice lat(x0, h, lo, hi, make_stencil(m, h));
    set_terminal(lat, c, h);
    const auto pay = payoff_on(lat, c);
    const Exercise side = c.call ? Exercise::high : Exercise::low;
    const Levels lv = make_levels(T, g.time_steps);
    const double s_lo = lat.spot(0), s_hi = lat.spot(lat.size() - 1);
    const bool term = !m.times.empty();
    for (std::size_t k = 0; k + 1 < lv.tau.size(); ++k) {
        const double tau = lv.tau[k + 1];
        const bool ex = exercisable(c, T, tau);
        if (term)
            lat.set_stencil(make_stencil(over(m, T - tau, T - lv.tau[k]), h));
        const Market rest = over(m, T - tau, T);
        lat.advance(tau - lv.tau[k], lv.theta[k], far_value(c, rest, s_lo, tau, ex, false),
                    far_value(c, rest, s_hi, tau, ex, true), ex ? &pay : nullptr, side);
    }
    return lat.at(x0);
}

double solve_barrier(const Contract& c, const Barrier& b, const Market& m, const Grid& g) {
    const double T = c.maturity;
    const bool down = is_down(b.kind), out = knock_out(b.kind);
    const double sd = sd_of(c, m);
    const double h = step_of(c, m, g);
    const Span span = relevant(c, m, sd);
    const double xb = std::log(b.level), xs = std::log(m.spot);
    const bool barrier_far = down ? xb < span.lo : xb > span.hi;
    if (barrier_far) {
        // Hitting is less likely than 1e-9 over the life: a knock-out is its vanilla, a
        // knock-in never knocks in and pays its rebate at expiry.
        if (out)
            return solve_vanilla(c, m, g);
        return b.rebate * std::exp(-m.rate * T);
    }
    // Offsets from the barrier node: the alive side and, for a knock-in, the vanilla beyond.
    const std::int64_t to_high = checked_offset(std::ceil((span.hi - xb) / h));
    const std::int64_t to_low = checked_offset(std::floor((span.lo - xb) / h));
    const std::int64_t alive_lo = down ? 0 : to_low;
    const std::int64_t alive_hi = down ? to_high : 0;
    require(alive_hi - alive_lo >= 4, "grid too coarse: fewer than four steps on the alive side");
    const Stencil st = make_stencil(m, h);
    const Levels lv = make_levels(T, g.time_steps);
    Lattice alive(xb, h, alive_lo, alive_hi, st);
    const std::size_t top = alive.size() - 1;

    // The side of the grid where early exercise can be optimal.  A knock-out whose barrier
    // lies on that side and pays a rebate above the payoff there may prefer to wait for the
    // hit near the barrier: the exercise set is then no longer one interval at the grid's
    // end and the penalty iteration replaces the one-sweep projection.
    Exercise side = c.call ? Exercise::high : Exercise::low;
    const bool barrier_on_exercise_side = (c.call && !down) || (!c.call && down);
    if (out && barrier_on_exercise_side && b.rebate > intrinsic(c, b.level))
        side = Exercise::any;

    if (out) {
        check_work(static_cast<double>(alive_hi - alive_lo + 1), g.time_steps);
        set_terminal(alive, c, h);
        auto& u = alive.values();
        (down ? u[0] : u[top]) = b.rebate;
        const auto pay = payoff_on(alive, c);
        // Just short of the barrier the holder may still exercise: the value there tends to
        // the larger of the rebate and the payoff at the barrier.  Holding the rebate alone
        // on the barrier node would cost the exercise one space step short of the barrier,
        // an error of the order of the step.
        const double at_hit = std::max(b.rebate, intrinsic(c, b.level));
        for (std::size_t k = 0; k + 1 < lv.tau.size(); ++k) {
            const double tau = lv.tau[k + 1];
            const bool ex = exercisable(c, T, tau);
            if (!m.times.empty())
                alive.set_stencil(make_stencil(over(m, T - tau, T - lv.tau[k]), h));
            const Market rest = over(m, T - tau, T);
            const double edge = ex ? at_hit : b.rebate;
            const double low = down ? edge : far_value(c, rest, alive.spot(0), tau, ex, false);
            const double high = down ? far_value(c, rest, alive.spot(top), tau, ex, true) : edge;
            alive.advance(tau - lv.tau[k], lv.theta[k], low, high, ex ? &pay : nullptr, side);
        }
        return alive.at(xs);
    }

    // Knock-in: the vanilla on the whole range gives the value on the barrier node at every
    // time level; the alive side pays the rebate at expiry and cannot be exercised.
    check_work(static_cast<double>(to_high - to_low + 1 + alive_hi - alive_lo + 1), g.time_steps);
    Lattice whole(xb, h, to_low, to_high, st);
    set_terminal(whole, c, h);
    const auto pay = payoff_on(whole, c);
    const std::size_t at_barrier = whole.index_of_offset(0);
    const double w_lo = whole.spot(0), w_hi = whole.spot(whole.size() - 1);
    const Exercise vanilla_side = c.call ? Exercise::high : Exercise::low;
    auto& u = alive.values();
    std::fill(u.begin(), u.end(), b.rebate);
    (down ? u[0] : u[top]) = whole.values()[at_barrier];
    for (std::size_t k = 0; k + 1 < lv.tau.size(); ++k) {
        const double tau = lv.tau[k + 1], dt = tau - lv.tau[k];
        const bool ex = exercisable(c, T, tau);
        if (!m.times.empty()) {
            const Stencil step = make_stencil(over(m, T - tau, T - lv.tau[k]), h);
            whole.set_stencil(step);
            alive.set_stencil(step);
        }
        const Market rest = over(m, T - tau, T);
        whole.advance(dt, lv.theta[k], far_value(c, rest, w_lo, tau, ex, false),
                      far_value(c, rest, w_hi, tau, ex, true), ex ? &pay : nullptr, vanilla_side);
        const double hit = whole.values()[at_barrier];
        const double never = b.rebate * std::exp(-rest.rate * tau);
        alive.advance(dt, lv.theta[k], down ? hit : never, down ? never : hit, nullptr,
                      Exercise::none);
    }
    return alive.at(xs);
}

// -- the degenerate diffusion: the spot moves at the carry, S(t) = S exp((r - q) t) -----------

// The payoff of exercise at time t, discounted to now, on the deterministic path.
double path_payoff(const Contract& c, const Market& m, double t) {
    const double s = m.spot * std::exp(-m.dividend * t), k = c.strike * std::exp(-m.rate * t);
    return std::max(c.call ? s - k : k - s, 0.0);
}

// The best discounted payoff of exercise in [a, b].  S e^(-qt) - K e^(-rt) has at most one
// stationary point, where q S e^(-qt) = r K e^(-rt): the ends and that point hold the maximum.
double best_payoff(const Contract& c, const Market& m, double a, double b) {
    double best = std::max(path_payoff(c, m, a), path_payoff(c, m, b));
    const double ratio = (m.dividend * m.spot) / (m.rate * c.strike);
    if (m.rate != m.dividend && std::isfinite(ratio) && ratio > 0.0) {
        const double t = std::log(ratio) / (m.dividend - m.rate);
        if (t > a && t < b)
            best = std::max(best, path_payoff(c, m, t));
    }
    return best;
}

// What the holder of the vanilla can get from time `from` on: the best exercise for an
// American contract inside its window, the payoff at expiry otherwise.
double vanilla_from(const Contract& c, const Market& m, double from) {
    const double T = c.maturity;
    const double open = std::max(from, c.exercise_from);
    if (c.american && open <= T)
        return best_payoff(c, m, open, T);
    return path_payoff(c, m, T);
}

// The first time the deterministic path reaches the barrier, or infinity.
double hitting_time(const Barrier& b, const Market& m) {
    const double carry = m.rate - m.dividend;
    const double distance = std::log(b.level / m.spot); // < 0 below, > 0 above
    if (carry == 0.0 || (distance < 0.0) != (carry < 0.0))
        return INFINITY;
    return distance / carry;
}

double limit_value(const Contract& c, const Barrier* b, const Market& m) {
    const double T = c.maturity;
    const double tau = b == nullptr ? INFINITY : hitting_time(*b, m);
    if (tau > T) // never hit: the vanilla, or a knock-in's rebate at expiry
        return b == nullptr || knock_out(b->kind) ? vanilla_from(c, m, 0.0)
                                                  : b->rebate * std::exp(-m.rate * T);
    if (!knock_out(b->kind)) // knocked in at tau: the vanilla from then on
        return vanilla_from(c, m, tau);
    // Knock-out: the rebate at the hit, or exercise before it, up to the payoff at the level.
    const double rebate = b->rebate * std::exp(-m.rate * tau);
    const double open = std::max(0.0, c.exercise_from);
    if (c.american && open <= tau)
        return std::max(rebate, best_payoff(c, m, open, tau));
    return rebate;
}

// -- no-arbitrage bounds -------------------------------------------------------------------

// Every value lies between these: nothing pays more than the spot (a call; with a negative
// dividend yield, its forward) or the strike (a put), plus the rebate, each at the highest
// discount factor over the life; nothing pays less than a negative rebate, and a contract that
// can be exercised now is worth its payoff now.
struct Bounds {
    double lo, hi;
};

Bounds bounds(const Contract& c, const Barrier* b, const Market& m, bool alive_exercisable) {
    const double T = c.maturity;
    const double most_paid = c.call ? m.spot * std::max(1.0, std::exp(-m.dividend * T))
                                    : c.strike * std::max(1.0, std::exp(-m.rate * T));
    const double rebate = b == nullptr ? 0.0 : b->rebate;
    const double cash = std::max(1.0, std::exp(-m.rate * T));
    double lo = std::min(rebate, 0.0) * cash;
    if (alive_exercisable)
        lo = std::max(lo, intrinsic(c, m.spot));
    return {lo, most_paid + std::max(rebate, 0.0) * cash};
}

// The solver's value, checked: within a small slack of the bounds it is clamped onto them (a
// rounding or the grid's last digits); further out, or not finite, the grid has not resolved
// these inputs and the value is refused rather than returned.
double checked(double v, const Bounds& bd, const Contract& c, const Barrier* b, const Market& m) {
    const double scale = m.spot + c.strike + (b == nullptr ? 0.0 : std::fabs(b->rebate));
    const double slack = 1e-4 * scale;
    if (!(std::isfinite(v) && v >= bd.lo - slack && v <= bd.hi + slack))
        throw std::invalid_argument(
            "the finite-difference grid does not resolve these inputs: value " +
            std::to_string(v) + " outside the no-arbitrage bounds [" + std::to_string(bd.lo) +
            ", " + std::to_string(bd.hi) + "]; use a finer grid");
    return std::clamp(v, bd.lo, bd.hi);
}

bool degenerate(const Contract& c, const Market& m) { return sd_of(c, m) <= kDegenerateSd; }

} // namespace

Grid choose_grid(const Contract& contract, const Market& market, double tolerance) {
    validate(contract, market);
    require(std::isfinite(tolerance) && tolerance >= 1e-8 && tolerance <= 0.1,
            "tolerance must lie between 1e-8 and 0.1");
    // Calibrated on 432 American contracts (up/down, in/out, call/put, barrier 0.1 to 1.5
    // standard deviations away, vol 10% to 60%, 0.1 to 3 years, with and without rebate)
    // against Richardson extrapolation on grids 128 and 256: the error falls like the square
    // of the steps and stays below 2e-4 relative at 32 steps per standard deviation and 48
    // time steps for values above 0.1% of the spot (deep out-of-the-money knock-ins worth
    // less than that are met to about 1e-2 relative).
    const double scale = std::sqrt(1e-3 / tolerance);
    double per_sd = std::ceil(32.0 * scale);
    const int steps = static_cast<int>(std::ceil(48.0 * scale));
    if (degenerate(contract, market)) // valued by the deterministic limit: no grid is used
        return {static_cast<int>(per_sd), steps};
    const double sd = sd_of(contract, market);
    // Drift over one space step must stay below the diffusion (a monotone stencil): at low
    // vol and long maturities the grid is refined until it does.
    const double drift = std::fabs(market.rate - market.dividend - 0.5 * market.vol * market.vol);
    const double needed = drift * std::sqrt(contract.maturity) / market.vol;
    per_sd = std::max({per_sd, std::ceil(needed) + 1.0, std::ceil(sd / kMaxLogStep),
                       std::ceil(sd * sd / kStepTimesSd)});
    // Bounded in work: the nodes over the span (twice for a knock-in) times the time levels.
    const Span span = relevant(contract, market, sd);
    const double work = 2.0 * (span.hi - span.lo) / sd * per_sd * (steps + 2.0);
    if (!(per_sd <= kMaxSteps && work <= kAutoWork))
        throw std::invalid_argument(
            "vol * sqrt(T) = " + std::to_string(sd) + " with a drift of " +
            std::to_string(drift) + " a year and log(spot / strike) = " +
            std::to_string(std::log(market.spot / std::max(contract.strike, 1e-300))) +
            " needs a grid of about " + std::to_string(work) +
            " node steps, beyond the 2e8 the automatic grid takes (a few seconds).  It covers "
            "vol * sqrt(T) up to about 25 with realistic drift and moneyness; at 1e-4 or less "
            "the value is the deterministic limit");
    return {static_cast<int>(per_sd), steps};
}

double vanilla_value(const Contract& contract, const Market& market, const Grid& grid) {
    validate(contract, market);
    validate(grid);
    if (contract.maturity == 0.0)
        return intrinsic(contract, market.spot);
    const bool now = contract.american && contract.exercise_from <= 0.0;
    const Bounds bd = bounds(contract, nullptr, market, now);
    if (degenerate(contract, market))
        return std::clamp(limit_value(contract, nullptr, market), bd.lo, bd.hi);
    return checked(solve_vanilla(contract, market, grid), bd, contract, nullptr, market);
}

double barrier_value(const Contract& contract, const Barrier& barrier, const Market& market,
                     const Grid& grid) {
    validate(contract, market);
    validate(barrier);
    validate(grid);
    const bool down = is_down(barrier.kind);
    const bool hit = down ? market.spot <= barrier.level : market.spot >= barrier.level;
    if (hit)
        return knock_out(barrier.kind) ? barrier.rebate : vanilla_value(contract, market, grid);
    if (contract.maturity == 0.0)
        return knock_out(barrier.kind) ? intrinsic(contract, market.spot) : barrier.rebate;
    const bool now =
        contract.american && contract.exercise_from <= 0.0 && knock_out(barrier.kind);
    const Bounds bd = bounds(contract, &barrier, market, now);
    if (degenerate(contract, market))
        return std::clamp(limit_value(contract, &barrier, market), bd.lo, bd.hi);
    return checked(solve_barrier(contract, barrier, market, grid), bd, contract, &barrier,
                   market);
}

} // namespace velmora::pde
