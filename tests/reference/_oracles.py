"""Independent oracles shared by the product tests.

QuantLib processes and instruments built directly here (not through velmora),
closed forms written out, the dates used to match published tables, and the builder
of each test file's contract terms.
"""

import math

import pandas as pd
import QuantLib as ql

# A Wednesday; 90 and 180 calendar days later are trading days (Tue 2 April, Mon 1 July).
EVAL = pd.Timestamp("2024-01-03")
EFFECT = pd.Timestamp("2023-12-01")
MAT_180 = EVAL + pd.Timedelta(days=180)
MAT_90 = EVAL + pd.Timedelta(days=90)

# Published tables quote T = 0.5 (or 0.25) years.  On Actual/365 a whole-day maturity
# of 180 (90) days is T' = T * 360 / 365; scaling r, q and vol**2 by T / T' keeps every
# Black-Scholes value unchanged, since values depend on r*T, q*T and vol**2*T only.
HAUG_SCALE = 365.0 / 360.0


def terms_builder(underlying, maturity_date, s0, notional, effect_date=EFFECT, **product):
    """``terms(**overrides)`` for one product's tests: the keys every contract has, then
    the product's own defaults; ``overrides`` replace keys or add new ones."""
    base = {"underlying": underlying, "effect_date": effect_date,
            "maturity_date": maturity_date, "s0": s0, "notional": notional, **product}

    def terms(**overrides):
        return {**base, **overrides}

    return terms


def haug_market(r, q, vol):
    """(r, q, vol) rescaled for a whole-day maturity of 180 or 90 days."""
    return r * HAUG_SCALE, q * HAUG_SCALE, vol * math.sqrt(HAUG_SCALE)


def qld(ts):
    ts = pd.Timestamp(ts)
    return ql.Date(ts.day, ts.month, ts.year)


def process(spot, r, vol, q, evaluation_date=EVAL):
    """A Black-Scholes-Merton process on curves anchored at ``evaluation_date``."""
    ql.Settings.instance().evaluationDate = qld(evaluation_date)
    ref = qld(evaluation_date)
    dc = ql.Actual365Fixed()
    return ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(spot)),
        ql.YieldTermStructureHandle(ql.FlatForward(ref, q, dc)),
        ql.YieldTermStructureHandle(ql.FlatForward(ref, r, dc)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(ref, ql.NullCalendar(), vol, dc)),
    )


def ql_npv(instrument, engine):
    instrument.setPricingEngine(engine)
    return instrument.NPV()


def year_fraction(maturity, evaluation_date=EVAL):
    return (pd.Timestamp(maturity) - pd.Timestamp(evaluation_date)).days / 365.0


def norm_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def bs_vanilla(spot, strike, r, q, vol, t, call, payoff="plain_vanilla", cash=1.0):
    """Black-Scholes-Merton European call or put: plain, cash-or-nothing (``cash`` paid
    at expiry) or asset-or-nothing."""
    sd = vol * math.sqrt(t)
    d1 = (math.log(spot / strike) + (r - q) * t) / sd + 0.5 * sd
    d2 = d1 - sd
    w = 1.0 if call else -1.0
    if payoff == "cash_or_nothing":
        return cash * math.exp(-r * t) * norm_cdf(w * d2)
    if payoff == "asset_or_nothing":
        return spot * math.exp(-q * t) * norm_cdf(w * d1)
    if payoff != "plain_vanilla":
        raise ValueError(f"no closed form here for the payoff {payoff!r}")
    if call:
        return spot * math.exp(-q * t) * norm_cdf(d1) - strike * math.exp(-r * t) * norm_cdf(d2)
    return strike * math.exp(-r * t) * norm_cdf(-d2) - spot * math.exp(-q * t) * norm_cdf(-d1)


def bs_vega_point(spot, strike, r, q, vol, t):
    """Black-Scholes-Merton vega of a European call or put, per point (0.01) of vol."""
    sd = vol * math.sqrt(t)
    d1 = (math.log(spot / strike) + (r - q) * t) / sd + 0.5 * sd
    density = math.exp(-d1 * d1 / 2) / math.sqrt(2 * math.pi)
    return spot * math.exp(-q * t) * density * math.sqrt(t) * 0.01


def owed_cash_greeks(cash, maturity, r, evaluation_date=EVAL):
    """(npv, delta, gamma, vega, theta, rho) of ``cash`` owed at ``maturity``: discounting
    alone; theta over one day, rho as the value lost between rates 0.5 % either side."""
    days = (pd.Timestamp(maturity) - pd.Timestamp(evaluation_date)).days

    def owed(rate, day_shift=0):
        return cash * math.exp(-rate * (days - day_shift) / 365.0)

    return (owed(r), 0.0, 0.0, 0.0, owed(r, 1) - owed(r), owed(r - 0.005) - owed(r + 0.005))


def no_touch_probability(spot, level, r, q, vol, t):
    """Risk-neutral probability that a continuously watched level is never reached."""
    nu = r - q - 0.5 * vol * vol
    sd = vol * math.sqrt(t)
    power = (level / spot) ** (2.0 * nu / (vol * vol))
    if level > spot:
        x = math.log(level / spot)
        return norm_cdf((x - nu * t) / sd) - power * norm_cdf((-x - nu * t) / sd)
    x = math.log(spot / level)
    return norm_cdf((x + nu * t) / sd) - power * norm_cdf((-x + nu * t) / sd)


def cash_at_hit(spot, level, cash, r, q, vol, t):
    """Reiner-Rubinstein: ``cash`` paid the moment ``level`` is first reached."""
    b = r - q
    sd = vol * math.sqrt(t)
    mu = (b - 0.5 * vol * vol) / (vol * vol)
    lam = math.sqrt(mu * mu + 2.0 * r / (vol * vol))
    eta = -1.0 if level > spot else 1.0
    z = math.log(level / spot) / sd + lam * sd
    ratio = level / spot
    return cash * (
        ratio ** (mu + lam) * norm_cdf(eta * z)
        + ratio ** (mu - lam) * norm_cdf(eta * z - 2.0 * eta * lam * sd)
    )


def double_no_touch(spot, lo, hi, cash, r, q, vol, t, terms=200):
    """Hui (1996): ``cash`` at expiry if neither ``lo`` nor ``hi`` is reached."""
    b = r - q
    s2 = vol * vol
    z = math.log(hi / lo)
    alpha = -0.5 * (2.0 * b / s2 - 1.0)
    beta = -0.25 * (2.0 * b / s2 - 1.0) ** 2 - 2.0 * r / s2
    total = 0.0
    for i in range(1, terms + 1):
        k = i * math.pi / z
        total += (
            2.0 * math.pi * i * cash / (z * z)
            * ((spot / lo) ** alpha - (-1.0) ** i * (spot / hi) ** alpha)
            / (alpha * alpha + k * k)
            * math.sin(k * math.log(spot / lo))
            * math.exp(-0.5 * (k * k - beta) * s2 * t)
        )
    return total


def close_enough(got, expected, tol, **inputs):
    """Assertion message with the inputs, expected, got and tolerance."""
    return f"inputs={inputs} expected={expected!r} got={got!r} tol={tol!r} diff={got - expected!r}"


def survival_digital_probability(spot, level, strike, call, r, q, vol, t):
    """Reflection principle: P(S_T beyond ``strike`` and ``level`` never reached).

    "Beyond" is above the strike for a call and below it for a put.  The log price
    killed at ``h = log(level)`` has the density of its free Gaussian less the
    Gaussian mirrored in ``h``, weighted by ``(level / spot) ** (2 nu / vol**2)``.
    """
    nu = r - q - 0.5 * vol * vol
    sd = vol * math.sqrt(t)
    x, h = math.log(spot), math.log(level)
    k = math.log(strike) if strike > 0 else -math.inf
    weight = (level / spot) ** (2.0 * nu / (vol * vol))

    def mass(a, b, centre):
        return norm_cdf((b - centre - nu * t) / sd) - norm_cdf((a - centre - nu * t) / sd)

    alive = (h, math.inf) if level < spot else (-math.inf, h)
    paid = (k, math.inf) if call else (-math.inf, k)
    a, b = max(alive[0], paid[0]), min(alive[1], paid[1])
    if a >= b:
        return 0.0
    return mass(a, b, x) - weight * mass(a, b, 2.0 * h - x)


def digital_probability(spot, strike, call, r, q, vol, t):
    """P(S_T above (call) or below (put) ``strike``) under the pricing measure."""
    sd = vol * math.sqrt(t)
    d2 = (math.log(spot / strike) + (r - q - 0.5 * vol * vol) * t) / sd
    return norm_cdf(d2 if call else -d2)


def corridor_probability(spot, lo, hi, a, b, drift, vol, t, terms=4000):
    """P(a < S_T < b and S stays inside (lo, hi)), by the eigenfunction (sine) series.

    The log price with drift ``drift`` killed at both levels has the density
    ``(2/z) sum_k exp(c (y - x) - drift**2 t / (2 vol**2)) exp(-(k pi / z)**2 vol**2 t / 2)
    sin(k pi (x - l) / z) sin(k pi (y - l) / z)`` with ``c = drift / vol**2``; each
    term is integrated over ``(a, b)`` in closed form.  Fast for narrow corridors and
    long lives, where the method of images needs many terms.
    """
    l, u = math.log(lo), math.log(hi)
    z = u - l
    x = math.log(spot)
    ya = max(math.log(a), l) if a > 0 else l
    yb = min(math.log(b), u)
    if ya >= yb:
        return 0.0
    c = drift / (vol * vol)
    front = math.exp(-c * x - drift * drift * t / (2.0 * vol * vol))
    total = 0.0
    for k in range(1, terms + 1):
        w = k * math.pi / z
        decay = math.exp(-0.5 * w * w * vol * vol * t)
        if decay < 1e-300:
            break

        # integral of exp(c y) sin(w (y - l)) dy, written out at both ends
        ends = [math.exp(c * y) * (c * math.sin(w * (y - l)) - w * math.cos(w * (y - l)))
                / (c * c + w * w) for y in (ya, yb)]
        total += decay * math.sin(w * (x - l)) * (ends[1] - ends[0])
    return 2.0 / z * front * total


def deterministic_barrier(kind, call, strike, level, rebate, spot, r, q, t, american=True,
                          n=400_000):
    """A barrier option as vol -> 0: the spot follows S e^((r - q) u), walked on a fine grid.

    A knock-out pays its rebate at the hit (or is exercised before it), a knock-in becomes
    the vanilla at the hit and pays its rebate at expiry if never hit.
    """
    import numpy as np

    u = np.linspace(0.0, t, n + 1)
    s, disc = spot * np.exp((r - q) * u), np.exp(-r * u)
    pay = np.maximum(s - strike if call else strike - s, 0.0) * disc
    crossed = s <= level if kind.startswith("down") else s >= level
    hit = int(np.argmax(crossed)) if crossed.any() else None
    if kind.endswith("out"):
        if hit is None:
            return pay.max() if american else pay[-1]
        return max(rebate * disc[hit], pay[:hit + 1].max() if american else 0.0)
    if hit is None:
        return rebate * disc[-1]
    return pay[hit:].max() if american else pay[-1]


def no_arbitrage_bounds(kind, call, strike, rebate, spot, r, q, t, american=True):
    """(least, most) a single-barrier option can be worth: at most the spot (a call, its
    forward if q < 0) or the strike (a put) plus the rebate, at the highest discount
    factor; at least the payoff now for an American knock-out not yet hit."""
    most = spot * max(1.0, math.exp(-q * t)) if call else strike * max(1.0, math.exp(-r * t))
    now = max(spot - strike if call else strike - spot, 0.0)
    least = now if american and kind.endswith("out") else 0.0
    return least, most + rebate * max(1.0, math.exp(-r * t))


def single_observation_note(spot, strike, ki, coupon, r, q, vol, t):
    """A snowball or phoenix whose only knock-in and knock-out date is maturity, with
    ``ki <= strike``: ``coupon`` where S_T >= ki (knocked out or not), S_T - strike below,
    discounted from maturity."""
    below = (bs_vanilla(spot, ki, r, q, vol, t, False, "asset_or_nothing")
             - strike * math.exp(-r * t) * digital_probability(spot, ki, False, r, q, vol, t))
    return coupon * math.exp(-r * t) * digital_probability(spot, ki, True, r, q, vol, t) + below


def smile_single_observation_note(spot, strike, ki, coupon, r, q, put_vol, t):
    """``single_observation_note`` under a smile, by static replication: with Black puts
    P(K) at each strike's own vol ``put_vol(K)`` (and the zero rates ``r``, ``q`` to t),
    the discounted probability of ending below ki is dP/dK at ki (a central difference),
    and the note is coupon (D - dP/dK) + (ki - strike) dP/dK - P(ki)."""
    def put(k):
        return bs_vanilla(spot, k, r, q, put_vol(k), t, False)

    step = 1e-3 * ki
    below = (put(ki + step) - put(ki - step)) / (2 * step)
    return coupon * (math.exp(-r * t) - below) + (ki - strike) * below - put(ki)


def asian_payoffs(spot, strike, r, q, vol, times, maturity, known_sum, known_count, call,
                  paths, seed):
    """Discounted payoffs of an arithmetic average-price option on ``paths`` plain Monte
    Carlo paths: exact lognormal steps between the remaining fixing ``times`` (years, a
    time 0 fixes at the spot), no variance reduction.  Equal seeds give equal normals, so
    payoffs at bumped inputs are on common random numbers."""
    import numpy as np

    t = np.asarray(times, dtype=float)
    dt = np.diff(t, prepend=0.0)
    z = np.random.default_rng(seed).standard_normal((paths, len(t)))
    log_s = math.log(spot) + np.cumsum((r - q - vol * vol / 2) * dt + vol * np.sqrt(dt) * z,
                                       axis=1)
    average = (known_sum + np.exp(log_s).sum(axis=1)) / (known_count + len(t))
    payoff = np.maximum(average - strike if call else strike - average, 0.0)
    return payoff * math.exp(-r * maturity)
