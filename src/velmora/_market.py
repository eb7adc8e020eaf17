"""The market inputs of a valuation: checked at the edge, and curves and surfaces beside scalars.

``check_market_inputs`` (and ``valuation_inputs``, which also fixes the date) is the one
check every product makes of its spot, rates, volatility and evaluation date, with the
warning for a figure that looks written in per cent.

Every product takes ``r`` and ``q`` either as one continuously compounded rate or as
a QuantLib yield term structure (or its handle), and ``vol`` either as one Black
volatility or as a QuantLib Black volatility term structure (or its handle).  This
module is the one place that tells the two apart and turns either into the handle
a QuantLib process wants, and that moves a curve or a surface in parallel for the
bumped sensitivities.

A float is turned into the flat curve or constant volatility that
``_quantlib.black_scholes_process`` builds its process on (zero settlement days, no
holidays, Actual/365 Fixed, anchored on QuantLib's evaluation date), so a valuation
under scalars gives the same bits through either path.

Curves and surfaces keep their own reference dates: a curve built with a fixed
reference date does not move when the evaluation date does, so a one-day theta
under such a curve shortens the option's life but reads the curve one day further
along, as a desk's curve of yesterday would be read today.
"""

from __future__ import annotations

import datetime
import math
import sys
import warnings
from collections.abc import Iterable, Sequence
from types import FrameType
from typing import Any, TypeAlias

import pandas as pd
import QuantLib as ql

from ._dates import evaluation_timestamp, to_qldate
from ._typing import DateLike, RateLike, VolLike

# A curve or a volatility surface, or a handle to one: the market objects told apart here.
_MarketObject: TypeAlias = (ql.YieldTermStructure | ql.YieldTermStructureHandle
                            | ql.BlackVolTermStructure | ql.BlackVolTermStructureHandle)

# The calendar and day count of the flat curves that stand for a scalar input (the
# curves of every ``_quantlib.black_scholes_process``).  Every day is a business day
# of the calendar, so zero settlement days anchor a curve on the evaluation date
# itself, weekends and holidays included; one day count instance serves them all
# (QuantLib's day counters hold no state).
_ANCHOR_CALENDAR = ql.NullCalendar()
_DAY_COUNT = ql.Actual365Fixed()

# A surface built by ``vol_surface`` carries, under this attribute, the function that
# rebuilds it from its own grid with every vol moved, so that a parallel shift is
# exact; the attribute lives and goes with the Python object.
_REBUILD = "_velmora_rebuild"


def is_curve(x: object) -> bool:
    """True for a QuantLib yield term structure or a handle to one."""
    return isinstance(x, (ql.YieldTermStructure, ql.YieldTermStructureHandle))


def is_vol_surface(x: object) -> bool:
    """True for a QuantLib Black volatility term structure or a handle to one."""
    return isinstance(x, (ql.BlackVolTermStructure, ql.BlackVolTermStructureHandle))


def is_market_object(x: object) -> bool:
    """True for a curve or a volatility surface (anything but a scalar input)."""
    return is_curve(x) or is_vol_surface(x)


def _link(x: _MarketObject) -> ql.YieldTermStructure | ql.BlackVolTermStructure:
    """The term structure behind ``x`` (``x`` itself when it is not a handle)."""
    if isinstance(x, (ql.YieldTermStructureHandle, ql.BlackVolTermStructureHandle)):
        try:
            return x.currentLink()
        except RuntimeError:
            raise ValueError("the term structure handle is empty") from None
    return x


def rate_handle(r: RateLike,
                evaluation_date: DateLike | None = None) -> ql.YieldTermStructureHandle:
    """A yield term structure handle for ``r``: a rate, a curve or a curve handle.

    A number gives the flat continuously compounded curve anchored on QuantLib's
    evaluation date (``evaluation_date`` is then not needed: the curve moves with
    that setting).  A curve is wrapped in a handle, a handle is returned as it is.
    """
    if isinstance(r, ql.YieldTermStructureHandle):
        return r
    if isinstance(r, ql.YieldTermStructure):
        return ql.YieldTermStructureHandle(r)
    return ql.YieldTermStructureHandle(ql.FlatForward(0, _ANCHOR_CALENDAR, float(r), _DAY_COUNT))


def vol_handle(vol: VolLike,
               evaluation_date: DateLike | None = None) -> ql.BlackVolTermStructureHandle:
    """A Black volatility term structure handle for ``vol``: a number, a surface or a handle.

    A number gives the constant Black volatility anchored on QuantLib's evaluation
    date; a surface is wrapped in a handle, a handle is returned as it is.
    """
    if isinstance(vol, ql.BlackVolTermStructureHandle):
        return vol
    if isinstance(vol, ql.BlackVolTermStructure):
        return ql.BlackVolTermStructureHandle(vol)
    return ql.BlackVolTermStructureHandle(
        ql.BlackConstantVol(0, _ANCHOR_CALENDAR, float(vol), _DAY_COUNT)
    )


def spread_rate(r: RateLike, dr: float) -> RateLike:
    """``r`` moved up by ``dr``: a number plus ``dr``, or the curve spread in parallel.

    A curve's continuously compounded zero rates all rise by ``dr``
    (``ql.ZeroSpreadedTermStructure``); the spread curve keeps the original's
    reference date and day count and follows it if a handle is relinked.
    """
    if not is_curve(r):
        return r + dr
    return ql.ZeroSpreadedTermStructure(
        rate_handle(r), ql.QuoteHandle(ql.SimpleQuote(dr)), ql.Continuous, ql.NoFrequency,
        _link(r).dayCounter(),
    )


def vol_level(vol: VolLike, t: float, strike: float) -> float:
    """The Black volatility read at time ``t`` (years) and ``strike``; a number is itself.

    Reads past the surface's last date or outside its strikes are extrapolated
    flat rather than refused.
    """
    if not is_vol_surface(vol):
        return vol
    surface = _link(vol)
    k = min(max(strike, surface.minStrike()), surface.maxStrike())
    return surface.blackVol(max(t, 0.0), k, True)


def has_smile(vol: VolLike) -> bool:
    """True for a surface whose vol may depend on the strike (one with a strike range)."""
    return is_vol_surface(vol) and _link(vol).maxStrike() < 1e300


def constant_vol_read(vol: VolLike, date: ql.Date, strike: float,
                      evaluation_date: DateLike | None = None) -> VolLike:
    """The constant Black vol equal to ``vol`` read at ``date`` (a QuantLib Date) and ``strike``.

    It keeps the surface's reference date, calendar and day count, so its variance
    to ``date`` is the surface's at ``strike``.  ``evaluation_date`` sets QuantLib's
    evaluation date first (for a surface that follows it).
    """
    if not is_vol_surface(vol):
        return vol
    if evaluation_date is not None:
        ql.Settings.instance().evaluationDate = to_qldate(evaluation_date, "evaluation_date")
    surface = _link(vol)
    v = vol_level(vol, surface.timeFromReference(date), strike)
    return ql.BlackConstantVol(surface.referenceDate(), surface.calendar(), v,
                               surface.dayCounter())


def time_to(surface_or_curve: _MarketObject, date: ql.Date) -> float:
    """Year fraction from the term structure's reference date to ``date`` (a QuantLib Date)."""
    ts = _link(surface_or_curve)
    return ts.dayCounter().yearFraction(ts.referenceDate(), date)


def vol_surface(reference_date: DateLike | ql.Date, expiries: Sequence[DateLike | ql.Date],
                strikes: Sequence[float], vols: Sequence[Sequence[float]],
                calendar: ql.Calendar | None = None,
                day_count: ql.DayCounter | None = None) -> ql.BlackVolTermStructure:
    """A Black variance surface from a grid of vols, which ``shift_vol`` rebuilds exactly.

    Parameters
    ----------
    reference_date : date-like
        The surface's fixed reference date (a QuantLib ``Date`` or any date the
        package reads; an integer raises ``TypeError``).
    expiries : sequence of date-like
        Ascending expiries, all after ``reference_date``.
    strikes : sequence of float
        Ascending absolute strikes.
    vols : sequence of sequences of float
        ``vols[i][j]`` is the Black vol at ``strikes[i]`` and ``expiries[j]``.
    calendar : QuantLib.Calendar, optional
        The surface's calendar; by default one without holidays (``ql.NullCalendar``).
    day_count : QuantLib.DayCounter, optional
        The surface's day count; by default Actual/365 (Fixed).

    Returns
    -------
    QuantLib.BlackVolTermStructure
        A ``BlackVarianceSurface``, or a ``BlackVarianceCurve`` for a single strike.

    Notes
    -----
    Variance is interpolated bilinearly (QuantLib's default) and extrapolated flat
    in strike beyond the grid (the smile's end vols hold) and flat in vol beyond the
    last expiry.  A single
    strike gives a ``BlackVarianceCurve`` (no smile).
    """
    calendar = calendar or _ANCHOR_CALENDAR
    day_count = day_count or _DAY_COUNT
    reference_date = to_qldate(reference_date, "reference_date")
    expiries = [to_qldate(d, "expiries") for d in expiries]
    strikes = [float(k) for k in strikes]
    grid = [[float(v) for v in row] for row in vols]
    if len(grid) != len(strikes) or any(len(row) != len(expiries) for row in grid):
        raise ValueError(
            f"vols must be {len(strikes)} strikes x {len(expiries)} expiries, "
            f"got {len(grid)} rows of {[len(row) for row in grid]}"
        )
    if not expiries or any(not (math.isfinite(v) and v > 0.0) for row in grid for v in row):
        raise ValueError("a volatility surface needs expiries and finite positive vols")

    def build(dv: float) -> ql.BlackVolTermStructure:
        shifted = [[v + dv for v in row] for row in grid]
        if len(strikes) == 1:
            surface = ql.BlackVarianceCurve(reference_date, expiries, shifted[0], day_count, False)
        else:
            matrix = ql.Matrix(len(strikes), len(expiries))
            for i, row in enumerate(shifted):
                for j, v in enumerate(row):
                    matrix[i][j] = v
            flat = ql.BlackVarianceSurface.ConstantExtrapolation
            surface = ql.BlackVarianceSurface(
                reference_date, calendar, expiries, strikes, matrix, day_count, flat, flat
            )
        surface.enableExtrapolation()
        setattr(surface, _REBUILD, lambda d: build(dv + d))
        return surface

    return build(0.0)


def _sampled_shift(surface: ql.BlackVolTermStructure, dv: float) -> ql.BlackVolTermStructure:
    """A surface whose Black vols are ``surface``'s plus ``dv``, rebuilt from samples.

    Used for a surface not built by ``vol_surface``.  A surface whose vol is the same
    at every sampled point is rebuilt as a constant vol (exact); one without strike
    dependence as a variance curve over monthly dates to its last date (at most 30
    years); otherwise as a variance surface on those dates and 41 strikes spanning
    its strike range.  Between the samples the rebuilt surface interpolates
    variance linearly, so a surface with finer structure than the grid is shifted
    only approximately.
    """
    ref = surface.referenceDate()
    dc = surface.dayCounter()
    cal = surface.calendar()
    last = min(surface.maxDate(), ref + ql.Period(30, ql.Years))
    dates = []
    k = 1
    while (d := ref + ql.Period(k, ql.Months)) < last:
        dates.append(d)
        k += 1
    dates.append(last)
    lo, hi = surface.minStrike(), surface.maxStrike()
    bounded = math.isfinite(lo) and math.isfinite(hi) and hi - lo < 1e100
    strikes = [lo + (hi - lo) * i / 40 for i in range(41)] if bounded else [1.0]
    grid = [[surface.blackVol(d, s, True) for d in dates] for s in strikes]
    flat = {v for row in grid for v in row}
    if len(flat) == 1:
        return ql.BlackConstantVol(ref, cal, flat.pop() + dv, dc)
    if all(row == grid[0] for row in grid):
        return ql.BlackVarianceCurve(ref, dates, [v + dv for v in grid[0]], dc, False)
    return vol_surface(ref, dates, strikes, [[v + dv for v in row] for row in grid], cal, dc)


def shift_vol(vol: VolLike, dv: float) -> VolLike:
    """``vol`` moved up by ``dv``: a number plus ``dv``, or every Black vol of a surface.

    A surface built by ``vol_surface`` is rebuilt from its own grid with every vol
    moved (exact at every point the surface interpolates).  A ``ql.BlackConstantVol``
    is rebuilt with the moved vol.  Any other surface (or a handle, whose concrete
    class is not visible) is sampled and rebuilt; see ``_sampled_shift`` for the
    limits.  The result keeps the reference date, calendar and day count.
    """
    if not is_vol_surface(vol):
        return vol + dv
    rebuild = getattr(vol, _REBUILD, None)
    if rebuild is not None:
        return rebuild(dv)
    surface = _link(vol)
    if isinstance(vol, ql.BlackConstantVol):
        v = surface.blackVol(0.0, 1.0, True)
        return ql.BlackConstantVol(surface.referenceDate(), surface.calendar(), v + dv,
                                   surface.dayCounter())
    return _sampled_shift(surface, dv)


def _tenor(text: str) -> ql.Period:
    """A QuantLib period from a tenor such as "1W", "3M", "1Y" (a positive length)."""
    try:
        period = ql.Period(str(text).strip().upper())
    except RuntimeError:
        raise ValueError(f"tenor {text!r} is not a period such as 1W, 3M or 2Y") from None
    if period.length() <= 0:
        raise ValueError(f"tenor {text!r} must be positive")
    return period


def _dates_of(reference_date: ql.Date, tenors: Sequence[str]) -> list[ql.Date]:
    dates = [reference_date + _tenor(t) for t in tenors]
    if any(b <= a for a, b in zip(dates, dates[1:])):
        raise ValueError(f"tenors must be ascending, got {list(tenors)}")
    return dates


def tenor_curve(reference_date: DateLike | ql.Date, pairs: Iterable[tuple[str, float]],
                day_count: ql.DayCounter | None = None) -> ql.YieldTermStructure:
    """A zero curve from (tenor, continuously compounded rate) pairs, on ``reference_date``.

    The rate of the first tenor also holds from the reference date to it, the
    rate of the last one for a hundred years beyond it; zero rates are linear in
    time in between.
    """
    reference_date = to_qldate(reference_date, "reference_date")
    pairs = list(pairs)
    if not pairs:
        raise ValueError("a rate curve needs at least one (tenor, rate) pair")
    tenors = [t for t, _ in pairs]
    rates = []
    for t, r in pairs:
        try:
            r = float(r)
        except (TypeError, ValueError):
            r = math.nan
        if not math.isfinite(r):
            raise ValueError(f"the rate at {t!r} must be a finite number")
        rates.append(r)
    dates = _dates_of(reference_date, tenors)
    # a node at each end holds the end rates flat (the interpolation is linear)
    far = dates[-1] + ql.Period(100, ql.Years)
    curve = ql.ZeroCurve([reference_date, *dates, far], [rates[0], *rates, rates[-1]],
                         day_count or _DAY_COUNT)
    curve.enableExtrapolation()
    return curve


def moneyness_surface(reference_date: DateLike | ql.Date, spot: float, percents: Sequence[float],
                      tenors: Sequence[str],
                      vols: Sequence[Sequence[float]]) -> ql.BlackVolTermStructure:
    """``vol_surface`` with strikes given in per cent of ``spot`` and expiries as tenors.

    ``vols[i][j]`` is the vol at ``percents[i]`` % of spot and ``tenors[j]``.
    Moving ``spot`` moves every strike with it: the smile is sticky in moneyness.
    """
    reference_date = to_qldate(reference_date, "reference_date")
    percents = [float(p) for p in percents]
    if any(not (math.isfinite(p) and p > 0.0) for p in percents) or any(
            b <= a for a, b in zip(percents, percents[1:])):
        raise ValueError(f"strikes in per cent of spot must be positive and ascending, "
                         f"got {percents}")
    return vol_surface(reference_date, _dates_of(reference_date, tenors),
                       [spot * p / 100.0 for p in percents], vols)


# -- the checks at the edge of every valuation -------------------------------------------

def checked_number(name: str, value: Any, positive: bool = False) -> float:
    """``value`` as a Python float that is finite (and positive when ``positive``).

    A float is taken as it is; anything else is read with ``float`` (a numpy scalar
    such as ``np.float32(100)`` included), so that every bump is made in double
    precision.

    Raises
    ------
    ValueError
        "{name} must be a number, got ..." for a value ``float`` cannot read, and
        "{name} must be finite[ and positive], got ..." for one out of range.
    """
    if type(value) is float:  # already what it becomes: read as it is
        x = value
    else:
        try:
            x = float(value)
        except (TypeError, ValueError):
            raise ValueError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(x) or (positive and not x > 0.0):
        kind = "finite and positive" if positive else "finite"
        raise ValueError(f"{name} must be {kind}, got {value!r}")
    return x


def check_market_inputs(spot: Any, r: Any, vol: Any, q: Any,
                        evaluation_date: object = None) -> tuple[Any, Any, Any, Any, Any]:
    """The market inputs of a valuation, checked once at the edge of every product.

    ``r`` and ``q`` may also be QuantLib yield term structures (or handles) and
    ``vol`` a QuantLib Black volatility term structure (or handle); these are
    returned as they are.

    Returns ``(spot, r, vol, q, evaluation_date)`` with the four numbers as Python
    floats (so that a numpy scalar such as ``np.float32(100)`` is accepted and every
    bump is made in double precision) and the evaluation date read once, as
    ``velmora._dates.evaluation_timestamp`` reads it: a tz-naive ``Timestamp`` (its
    time of day kept; a timezone-aware value becomes its local calendar day at
    midnight), which the valuations below pass on without reading it again.
    ``None`` stays ``None`` (today's date).

    Raises
    ------
    ValueError
        A spot or volatility that is not finite and positive, a rate or dividend
        yield that is not finite, a number that cannot be read as one, or an
        evaluation date that is ``pd.NaT`` or a text that does not parse; each
        message names the input.
    TypeError
        An evaluation date that is not date-like (an integer such as 20250102
        included: it is not read as a count of nanoseconds since 1970).

    Warns
    -----
    UserWarning
        A volatility above 5, or a rate or dividend yield above 1 in absolute value:
        most likely a per-cent figure (``vol=25`` for 25 %); the input is used as given.
    """
    values: list[Any] = []
    for name, value, positive in (("spot", spot, True), ("r", r, False), ("vol", vol, True),
                                  ("q", q, False)):
        if type(value) is not float and (
                is_vol_surface(value) if name == "vol" else name != "spot" and is_curve(value)):
            values.append(value)  # the caller's own market object
        else:
            values.append(checked_number(name, value, positive))
    _warn_percent_slip(*values)
    if evaluation_date is not None:
        evaluation_date = evaluation_timestamp(evaluation_date)
    return (*values, evaluation_date)


# Beyond these a market input is more likely written in per cent than meant: a vol of
# 500 % a year, a rate or dividend yield of 100 % a year.
PERCENT_SLIP_VOL = 5.0
PERCENT_SLIP_RATE = 1.0


def _warn_percent_slip(spot: Any, r: Any, vol: Any, q: Any) -> None:
    """A ``UserWarning`` for a volatility above 5 or a rate or yield above 1 in size.

    Such inputs are valid (they are valued as given) but usually a per-cent slip, e.g.
    ``vol=25`` for 25 %, which values most options at about the whole spot.
    """
    # scalars only: a curve or surface is the caller's own market object
    scalar = (int, float)
    slips = [f"vol={vol!r}"] if isinstance(vol, scalar) and vol > PERCENT_SLIP_VOL else []
    slips += [f"{name}={x!r}" for name, x in (("r", r), ("q", q))
              if isinstance(x, scalar) and abs(x) > PERCENT_SLIP_RATE]
    if slips:
        # point the warning at the first caller outside velmora
        frame: FrameType | None = sys._getframe(1)
        level = 2
        while frame is not None and frame.f_globals.get("__name__", "").startswith("velmora"):
            frame, level = frame.f_back, level + 1
        warnings.warn(
            f"{', '.join(slips)} looks like a per-cent figure; velmora reads rates, yields "
            "and volatilities as decimals (0.25 for 25 %)", UserWarning, stacklevel=level)


def resolve_date(evaluation_date: Any) -> Any:
    """The date a valuation runs on: ``evaluation_date``, or today's for ``None``."""
    if evaluation_date is None:
        return pd.Timestamp(datetime.date.today())
    return evaluation_date


def valuation_inputs(spot: Any, r: Any, vol: Any, q: Any,
                     evaluation_date: object) -> tuple[Any, Any, Any, Any, pd.Timestamp]:
    """The market inputs checked by ``check_market_inputs``, the evaluation date read once
    into a tz-naive ``Timestamp`` (today's for ``None``) that the valuation passes down."""
    spot, r, vol, q, evaluation_date = check_market_inputs(spot, r, vol, q, evaluation_date)
    return spot, r, vol, q, resolve_date(evaluation_date)
