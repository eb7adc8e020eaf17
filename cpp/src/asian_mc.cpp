// Arithmetic average-price options by randomised quasi-Monte Carlo with a geometric control.
#include "velmora/asian_mc.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "require.hpp"
#include "velmora/parallel.hpp"
#include "velmora/sobol.hpp"

namespace velmora::asian {

namespace {

// Direction numbers are fixed once and for all; only the scrambling depends on the seed.
constexpr std::uint64_t kDirectionSeed = 0x76656c6d6f7261ULL;

double norm_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

bool term_structure(const Market& m) { return !m.variance.empty(); }

void validate(const Market& m) {
    require(std::isfinite(m.spot) && m.spot > 0.0, "spot must be finite and positive");
    require(std::isfinite(m.vol) && m.vol > 0.0, "vol must be finite and positive");
    require(std::isfinite(m.rate) && std::isfinite(m.dividend),
            "rate and dividend yield must be finite");
    require(m.log_forward.size() == m.variance.size(),
            "one log forward per fixing variance is needed");
    require(m.variance.empty() || (std::isfinite(m.discount_factor) && m.discount_factor > 0.0),
            "the discount factor must be finite and positive");
    for (std::size_t i = 0; i < m.variance.size(); ++i)
        require(std::isfinite(m.log_forward[i]) && std::isfinite(m.variance[i]) &&
                    m.variance[i] >= 0.0 && (i == 0 || m.variance[i] > m.variance[i - 1]),
                "fixing variances must be finite, >= 0 and strictly ascending; log forwards "
                "finite");
}

void validate(const Contract& c, const Market& m) {
    require(!term_structure(m) || m.variance.size() == c.fixing_times.size(),
            "one variance and log forward per fixing still to come is needed");
    for (std::size_t i = 0; i < m.variance.size(); ++i)
        require((c.fixing_times[i] > 0.0) == (m.variance[i] > 0.0),
                "the variance is zero exactly at a fixing time of zero");
}

// Black's formula, undiscounted, on a lognormal variable of mean `forward` and log-variance
// `variance`; a certain variable (variance 0) or a strike <= 0 leaves the payoff linear.
double black(bool call, double forward, double strike, double variance) {
    if (variance <= 0.0 || strike <= 0.0) {
        const double intrinsic = call ? forward - strike : strike - forward;
        return variance <= 0.0 ? std::max(intrinsic, 0.0) : (call ? intrinsic : 0.0);
    }
    const double sd = std::sqrt(variance);
    const double d1 = (std::log(forward / strike) + 0.5 * variance) / sd, d2 = d1 - sd;
    return call ? forward * norm_cdf(d1) - strike * norm_cdf(d2)
                : strike * norm_cdf(-d2) - forward * norm_cdf(-d1);
}

double discount(const Contract& c, const Market& m) {
    return term_structure(m) ? m.discount_factor : std::exp(-m.rate * c.maturity);
}

std::size_t fixing_count(const Contract& c) { return c.known_count + c.fixing_times.size(); }

// Mean and variance of the logarithm of the geometric average of all fixings.
std::pair<double, double> geometric_log_moments(const Contract& c, const Market& m) {
    const auto& t = c.fixing_times;
    const double n = static_cast<double>(fixing_count(c));
    if (term_structure(m)) {
        const auto& v = m.variance;
        double mean = c.known_log_sum, pairs = 0.0;
        for (std::size_t i = 0; i < v.size(); ++i) {
            mean += m.log_forward[i] - 0.5 * v[i];
            pairs += v[i] * static_cast<double>(2 * (v.size() - i) - 1);
        }
        return {mean / n, pairs / (n * n)};
    }
    const double drift = m.rate - m.dividend - 0.5 * m.vol * m.vol;
    double mean = c.known_log_sum + static_cast<double>(t.size()) * std::log(m.spot);
    double pairs = 0.0; // sum over j, k of min(t_j, t_k): t_i is the minimum of 2(n-i)-1 pairs
    for (std::size_t i = 0; i < t.size(); ++i) {
        mean += drift * t[i];
        pairs += t[i] * static_cast<double>(2 * (t.size() - i) - 1);
    }
    return {mean / n, m.vol * m.vol * pairs / (n * n)};
}

// The remaining fixings on the Brownian bridge: each step sets W at `index` from the values
// at `left` (-1: the origin, where W = 0) and `right` (-1: none) plus `sd` times a normal.
struct BridgeStep {
    std::ptrdiff_t index, left, right;
    double wl, wr, sd;
};

// Terminal value first, then midpoints breadth first: coarse shape before fine detail.
std::vector<BridgeStep> bridge(std::span<const double> t) {
    const auto n = static_cast<std::ptrdiff_t>(t.size());
    std::vector<BridgeStep> steps{{n - 1, -1, -1, 0.0, 0.0, std::sqrt(t[n - 1])}};
    struct Gap {
        std::ptrdiff_t left, right;
    };
    std::vector<Gap> queue{{-1, n - 1}};
    for (std::size_t q = 0; q < queue.size(); ++q) {
        const auto [l, r] = queue[q];
        if (r - l < 2)
            continue;
        const std::ptrdiff_t mid = l + (r - l) / 2;
        const double tl = l < 0 ? 0.0 : t[l], tr = t[r], tm = t[mid];
        steps.push_back({mid, l, r, (tr - tm) / (tr - tl), (tm - tl) / (tr - tl),
                         std::sqrt((tm - tl) * (tr - tm) / (tr - tl))});
        queue.push_back({l, mid});
        queue.push_back({mid, r});
    }
    return steps;
}

// Sums over one replicate's paths of the payoffs less a common centre: y arithmetic, x
// geometric.
struct Sums {
    double y = 0, x = 0, yy = 0, xx = 0, xy = 0;
    std::size_t n = 0;
};

void validate(const Controls& k) {
    require(k.points > 0 && (k.points & (k.points - 1)) == 0,
            "points per replicate must be a power of two");
    require(k.min_replicates >= 2, "at least two replicates are needed for an error estimate");
    require(k.replicates == 0 || k.replicates >= 2,
            "at least two replicates are needed for an error estimate");
    require(k.max_paths >= k.points * k.min_replicates,
            "the path cap must allow the first round of replicates");
    require(!std::isnan(k.target_se), "the target standard error must be a number");
}

} // namespace

void Contract::validate() const {
    require(std::isfinite(strike), "strike must be finite");
    require(std::isfinite(maturity) && maturity >= 0.0, "maturity must be finite and >= 0");
    require(fixing_count(*this) > 0, "the average needs at least one fixing");
    double previous = -1.0;
    for (double t : fixing_times) {
        require(std::isfinite(t) && t >= 0.0 && t > previous,
                "fixing times must be strictly ascending and >= 0");
        previous = t;
    }
    require(std::isfinite(known_sum) && std::isfinite(known_log_sum),
            "known fixings must be finite and positive");
}

double geometric_value(const Contract& contract, const Market& market) {
    contract.validate();
    validate(market);
    validate(contract, market);
    const auto [mean, variance] = geometric_log_moments(contract, market);
    return discount(contract, market) *
           black(contract.call, std::exp(mean + 0.5 * variance), contract.strike, variance);
}

Result arithmetic_value(const Contract& c, const Market& m, const Controls& k) {
    c.validate();
    validate(m);
    validate(c, m);
    const bool term = term_structure(m);
    validate(k);
    const double n_fix = static_cast<double>(fixing_count(c));
    const double disc = discount(c, m);
    const auto first_positive = static_cast<std::size_t>(
        std::upper_bound(c.fixing_times.begin(), c.fixing_times.end(), 0.0) -
        c.fixing_times.begin());
    const auto t = c.fixing_times.subspan(first_positive); // fixings still uncertain
    const double n_today = static_cast<double>(first_positive);
    const double certain = c.known_sum + n_today * m.spot; // sum of the fixed ones

    Result res;
    res.control_value = geometric_value(c, m);
    double expected_tail = 0.0; // E[sum of the uncertain fixings]
    // under a term structure: the variance and log forward of the uncertain fixings
    const auto var_t = term ? m.variance.subspan(first_positive) : std::span<const double>{};
    const auto fwd_t = term ? m.log_forward.subspan(first_positive) : std::span<const double>{};
    if (term) {
        for (double f : fwd_t)
            expected_tail += std::exp(f);
    } else {
        for (double ti : t)
            expected_tail += m.spot * std::exp((m.rate - m.dividend) * ti);
    }
    if (t.size() <= 1 || c.strike <= 0.0) {
        // Certain average; or the average linear in one lognormal fixing, a vanilla on it
        // with strike N K - (the fixed ones); or a payoff that is linear (strike <= 0).
        const double variance = t.empty() ? 0.0 : term ? var_t[0] : m.vol * m.vol * t[0];
        const double payoff =
            c.strike <= 0.0
                ? black(c.call, (certain + expected_tail) / n_fix, c.strike, variance)
                : black(c.call, expected_tail, n_fix * c.strike - certain, variance) / n_fix;
        res.value = disc * payoff;
        res.exact = true;
        return res;
    }

    // Under a term structure the Brownian bridge runs in variance time with unit vol.
    const auto steps = bridge(term ? var_t : t);
    const double drift = m.rate - m.dividend - 0.5 * m.vol * m.vol;
    const double scale = term ? 1.0 : m.vol;
    std::vector<double> log_mean(t.size());
    for (std::size_t j = 0; j < t.size(); ++j)
        log_mean[j] = term ? fwd_t[j] - 0.5 * var_t[j] : std::log(m.spot) + drift * t[j];
    const double certain_log = c.known_log_sum + n_today * std::log(m.spot);
    const double centre = res.control_value / disc; // undiscounted E[geometric payoff]
    const double sign = c.call ? 1.0 : -1.0;
    const qmc::SobolDirections directions(k.sobol ? t.size() : 0, kDirectionSeed);

    auto run_replicate = [&](std::size_t rep, Sums& s) {
        const std::uint64_t key = qmc::mix_key(k.seed, rep);
        std::vector<double> u(t.size()), w(t.size());
        std::optional<qmc::ScrambledSobol> sobol;
        if (k.sobol)
            sobol.emplace(directions, key, k.points);
        for (std::size_t p = 0; p < k.points; ++p) {
            if (sobol) {
                sobol->next(u);
            } else {
                std::uint64_t state = qmc::mix_key(key, p, 1);
                for (auto& x : u)
                    x = (static_cast<double>(qmc::splitmix64(state) >> 11) + 0.5) * 0x1p-53;
            }
            for (std::size_t d = 0; d < steps.size(); ++d) {
                const auto& b = steps[d];
                double v = b.sd * qmc::inverse_normal(u[d]);
                if (b.left >= 0)
                    v += b.wl * w[b.left];
                if (b.right >= 0)
                    v += b.wr * w[b.right];
                w[b.index] = v;
            }
            double sum = certain, log_sum = certain_log;
            for (std::size_t j = 0; j < t.size(); ++j) {
                const double log_s = log_mean[j] + scale * w[j];
                sum += std::exp(log_s);
                log_sum += log_s;
            }
            const double y = std::max(sign * (sum / n_fix - c.strike), 0.0) - centre;
            const double x = std::max(sign * (std::exp(log_sum / n_fix) - c.strike), 0.0) - centre;
            s.y += y;
            s.x += x;
            s.yy += y * y;
            s.xx += x * x;
            s.xy += x * y;
        }
        s.n = k.points;
    };

    const std::size_t cap = std::max(k.max_paths / k.points, k.min_replicates);
    std::size_t target = k.replicates ? k.replicates : k.min_replicates;
    std::vector<Sums> sums;
    for (;;) {
        const std::size_t done = sums.size();
        sums.resize(target);
        for_each_block(target - done, k.threads,
                       [&](std::size_t b) { run_replicate(done + b, sums[done + b]); });
        // Control coefficient from all paths, then one controlled estimate per replicate.
        Sums all;
        for (const auto& s : sums) {
            all.y += s.y, all.x += s.x, all.yy += s.yy, all.xx += s.xx, all.xy += s.xy;
            all.n += s.n;
        }
        const double n = static_cast<double>(all.n);
        const double var_x = all.xx - all.x * all.x / n;
        const double cov = all.xy - all.x * all.y / n;
        const double beta = var_x > 0.0 ? cov / var_x : 0.0;
        std::vector<double> est(sums.size());
        double mean = 0.0, spread = 0.0;
        for (std::size_t i = 0; i < sums.size(); ++i)
            mean += est[i] = (sums[i].y - beta * sums[i].x) / static_cast<double>(sums[i].n);
        const double r = static_cast<double>(sums.size());
        mean /= r;
        for (double e : est)
            spread += (e - mean) * (e - mean);
        spread /= r - 1.0; // sample variance of one replicate's estimate
        res.value = disc * (centre + mean);
        res.standard_error = disc * std::sqrt(spread / r);
        res.beta = beta;
        res.paths = all.n;
        res.replicates = sums.size();
        if (k.replicates || res.standard_error <= k.target_se)
            break;
        if (target >= cap) {
            res.capped = true;
            break;
        }
        target = std::min(2 * target, cap);
    }
    return res;
}

} // namespace velmora::asian
