"""Probabilities of staying inside a corridor, by the method of images.

A log price ``X`` with constant drift ``m`` and volatility ``vol`` starts at
``x = log(spot)`` inside ``(l, u)``.  The density of ``X_T`` on the paths that never
leave the corridor is the free Gaussian density mirrored in both levels, period
``2 z`` with ``z = u - l``; with the drift taken out by Girsanov's theorem each
image ``c`` keeps the weight ``exp(m (c - x) / vol**2)`` and a Gaussian centred at
``c + m T``:

    P(a < X_T < b, no exit) = sum over n of  w(x + 2nz) M(x + 2nz) - w(2l - x + 2nz) M(2l - x + 2nz)

where ``M(c)`` is the Gaussian mass of ``(a, b)`` around ``c + m T``.  Terms are
summed in logarithms, so that huge image weights times vanishing masses never
overflow; the sum runs outwards from ``n = 0`` until every family of terms is past
its peak and below ``TERM_FLOOR``.  Few terms are needed when ``vol * sqrt(T)`` is
small against the corridor width, more for a narrow corridor and a long, volatile
life (about 40 for a 90/110 corridor at 60 % over three years).
"""

from __future__ import annotations

import math

# A term below this (in probability) is dropped once its family is decreasing.
TERM_FLOOR = 1e-18
# Far beyond any corridor a double can describe; reaching it is a fault.
MAX_IMAGES = 100_000

_HALF_LOG_2PI = 0.5 * math.log(2.0 * math.pi)


def _log_ndtr(x: float) -> float:
    """log of the standard normal distribution function, accurate far in the left tail."""
    if x == math.inf:
        return 0.0
    if x == -math.inf:
        return -math.inf
    if x > -30.0:
        return math.log(0.5 * math.erfc(-x / math.sqrt(2.0)))
    # Asymptotic expansion of Mills' ratio; its error at x = -30 is below 1e-10.
    x2 = x * x
    return -0.5 * x2 - math.log(-x) - _HALF_LOG_2PI + math.log1p(-1.0 / x2 + 3.0 / (x2 * x2))


def _log_mass(lo: float, hi: float) -> float:
    """log(Phi(hi) - Phi(lo)) for lo <= hi, without cancelling in either tail."""
    if not lo < hi:
        return -math.inf
    if lo > 0.0:  # both in the right tail: difference of upper tails
        big, small = _log_ndtr(-lo), _log_ndtr(-hi)
    else:
        big, small = _log_ndtr(hi), _log_ndtr(lo)
    if big == -math.inf:
        return -math.inf
    return big + math.log1p(-math.exp(small - big))


def survival_mass(spot: float, lower: float, upper: float, a: float, b: float, drift: float,
                  vol: float, t: float) -> tuple[float, int]:
    """Probability that ``a < S_T < b`` and ``S`` never leaves ``(lower, upper)``.

    Parameters
    ----------
    spot, lower, upper : float
        Today's price and the corridor, ``lower < spot < upper``.
    a, b : float
        The price interval paid at expiry; it is clipped to the corridor.
    drift : float
        Drift of the log price per year (``r - q - vol**2 / 2`` under the pricing
        measure, ``r - q + vol**2 / 2`` under the share measure).
    vol, t : float
        Volatility and time to expiry in years, both positive.

    Returns
    -------
    probability : float
        The probability, clipped to [0, 1].
    images : int
        The largest image index ``n`` that was summed.
    """
    l, u = math.log(lower), math.log(upper)
    lo = max(math.log(a), l) if a > 0.0 else l
    hi = min(math.log(b), u) if b < math.inf else u
    if not lo < hi:
        return 0.0, 0
    x = math.log(spot)
    z = u - l
    sd = vol * math.sqrt(t)
    shift = drift * t
    slope = drift / (vol * vol)

    def log_term(centre: float) -> float:
        return slope * (centre - x) + _log_mass((lo - centre - shift) / sd,
                                                (hi - centre - shift) / sd)

    log_floor = math.log(TERM_FLOOR)
    total = math.exp(log_term(x)) - math.exp(log_term(2.0 * l - x))
    previous = None
    n = 0
    while True:
        n += 1
        if n > MAX_IMAGES:
            raise RuntimeError(f"corridor series did not converge after {MAX_IMAGES} images")
        logs = (
            log_term(x + 2.0 * n * z),
            log_term(x - 2.0 * n * z),
            log_term(2.0 * l - x + 2.0 * n * z),
            log_term(2.0 * l - x - 2.0 * n * z),
        )
        total += math.exp(logs[0]) + math.exp(logs[1]) - math.exp(logs[2]) - math.exp(logs[3])
        # Each family is log-concave in n: once it falls and is negligible, the rest is too.
        if previous is not None and all(
            cur <= log_floor and cur <= prev for cur, prev in zip(logs, previous)
        ):
            return min(max(total, 0.0), 1.0), n
        previous = logs
