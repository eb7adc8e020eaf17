"""Contract terms that the products read, build and hand on the same way.

One home each for: the option type of "call_put", the QuantLib payoff of a payoff
type, the QuantLib exercise of an exercise type, the engine builder an engine table
holds for a contract, and the common terms handed to an inner product.  A new payoff
kind is built in ``PAYOFF_TYPES`` only; each product's engine table then says whether,
and how, that product values it.  (The market inputs and the date a valuation runs on
are read in ``velmora._market``.)
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import Any, TypeVar

import QuantLib as ql

from ._dates import to_qldate
from ._typing import DateLike

_E = TypeVar("_E")

# The five keys every option dictionary holds; ``BaseOption`` keeps each as an
# attribute of the same name.
COMMON_KEYS = ("effect_date", "maturity_date", "underlying", "s0", "notional")

# Payoff type -> builder of the QuantLib payoff from (option type, strike, cash).
# Only the cash-or-nothing payoff pays a fixed cash amount.
PAYOFF_TYPES: dict[str, Callable[[int, float, Any], ql.StrikedTypePayoff]] = {
    "plain_vanilla": lambda call_put, strike, cash: ql.PlainVanillaPayoff(call_put, strike),
    "cash_or_nothing": lambda call_put, strike, cash: ql.CashOrNothingPayoff(
        call_put, strike, cash
    ),
    "asset_or_nothing": lambda call_put, strike, cash: ql.AssetOrNothingPayoff(call_put, strike),
}


def option_type(call_put: object) -> int:
    """QuantLib's option type: a call for exactly the text "call", a put for anything else."""
    return ql.Option.Call if call_put == "call" else ql.Option.Put


def unknown_payoff(payoff_type: object, accepted: Iterable[str]) -> AssertionError:
    """The ``AssertionError`` for a payoff type outside ``accepted``, naming both."""
    return AssertionError(
        f"unknown payoff type {payoff_type!r}; accepted: " + ", ".join(f'"{a}"' for a in accepted)
    )


def make_payoff(option: Mapping[str, Any], payoff_type: str, call_put: int, strike: float,
                default_cash: float, supported: Iterable[str] = tuple(PAYOFF_TYPES),
                product: str | None = None) -> tuple[ql.StrikedTypePayoff, float | None]:
    """The QuantLib payoff of ``payoff_type`` and its cash amount, as ``(payoff, cash)``.

    ``cash`` is the option dictionary's "digital_payoff" (``default_cash`` without
    the key) for a cash-or-nothing payoff, and ``None`` for the others, which pay
    no fixed amount.

    Raises
    ------
    AssertionError
        A payoff type that is none of ``PAYOFF_TYPES``; the message lists the
        ``supported`` ones.  Raised explicitly, so it holds under ``python -O``.
    NotImplementedError
        A payoff type of ``PAYOFF_TYPES`` that ``product`` does not support:
        "{payoff_type} not supported in {product}".
    """
    # Tuples, not the table's keys: an unhashable value is refused, not a TypeError.
    if payoff_type not in tuple(PAYOFF_TYPES):
        raise unknown_payoff(payoff_type, supported)
    if payoff_type not in tuple(supported):
        raise NotImplementedError(f"{payoff_type} not supported in {product}")
    cash = option.get("digital_payoff", default_cash) if payoff_type == "cash_or_nothing" else None
    return PAYOFF_TYPES[payoff_type](call_put, strike, cash), cash


def make_exercise(exercise_type: str, effect_date: DateLike, maturity_date: DateLike,
                  pay_at_expiry: bool) -> ql.Exercise:
    """QuantLib exercise for the option dictionary's exercise type.

    American exercise runs from the effect date (not the evaluation date) to the
    maturity date; ``pay_at_expiry`` defers a digital payoff triggered early to
    expiry.
    """
    if exercise_type == "american":
        return ql.AmericanExercise(to_qldate(effect_date), to_qldate(maturity_date), pay_at_expiry)
    if exercise_type == "european":
        return ql.EuropeanExercise(to_qldate(maturity_date))
    if exercise_type == "bermudan":
        raise NotImplementedError("BERMUDAN EXERCISE not supported yet")
    raise ValueError(f"unknown exercise type: {exercise_type}")


def engine_builder(table: Mapping[tuple[str, str], _E], exercise_type: str, payoff_type: str,
                   refusal: str | None = None) -> _E:
    """What the engine table holds for the pair (exercise type, payoff type).

    The table is read at the call, so an entry a caller replaces is the one used.
    A pair outside it raises ``NotImplementedError`` with ``refusal``, by default
    "{exercise_type} exercise, {payoff_type} not supported yet".
    """
    entry = table.get((exercise_type, payoff_type))
    if entry is None:
        raise NotImplementedError(
            refusal or f"{exercise_type} exercise, {payoff_type} not supported yet"
        )
    return entry


def common_terms(product: object, *keys: str) -> dict[str, Any]:
    """The product's common terms, keyed for an inner product's option dictionary.

    In the order of ``keys``, all five of ``COMMON_KEYS`` by default.  The values
    are the attributes as the base constructor left them: the effect date as a
    timestamp, the maturity already moved onto a trading day.
    """
    return {key: getattr(product, key) for key in keys or COMMON_KEYS}



def grid_pair(pde_grid: Any, meaning: str) -> tuple[Any, Any]:
    """The two numbers of a finite-difference engine's ``pde_grid`` key, unchecked.

    Each engine then checks the two numbers against its own bounds (and reads no key,
    ``None``, as its automatic grid before asking).

    Raises
    ------
    ValueError
        For anything that is not a pair: "pde_grid: expected a pair ({meaning}), got ...".
    """
    try:
        first, second = pde_grid
    except (TypeError, ValueError):
        raise ValueError(f"pde_grid: expected a pair ({meaning}), got {pde_grid!r}") from None
    return first, second
