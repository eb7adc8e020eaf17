"""Curves and volatility surfaces in place of the scalar market inputs.

References: the same contract under the scalars (flat curves must give the same
values), QuantLib instruments built directly on the same handles, and ``npv``
itself for the implied volatility round trip.
"""

import math

import pytest
import QuantLib as ql

from _oracles import qld
from product_table import (  # noqa: F401  (closes is a fixture)
    FRI, PRODUCTS, Q, R, SPOT, VOL, closes,
)

DC = ql.Actual365Fixed()
QUANTLIB_VALUED = [n for n in PRODUCTS if not n.startswith(("snowball", "phoenix"))]


def flat(r, anchored_on=None):
    """A flat curve: on a fixed reference date, or following the evaluation date."""
    if anchored_on is None:
        return ql.YieldTermStructureHandle(ql.FlatForward(0, ql.NullCalendar(), r, DC))
    return ql.FlatForward(qld(anchored_on), r, DC)


def constant_vol(vol, anchored_on=None):
    if anchored_on is None:
        return ql.BlackVolTermStructureHandle(ql.BlackConstantVol(0, ql.NullCalendar(), vol, DC))
    return ql.BlackConstantVol(qld(anchored_on), ql.NullCalendar(), vol, DC)


@pytest.mark.parametrize("name", QUANTLIB_VALUED)
@pytest.mark.parametrize("anchored_on", [FRI, None], ids=["fixed-date", "moving"])
def test_flat_curves_give_the_scalars_values(closes, name, anchored_on):
    product = PRODUCTS[name]()
    scalar = product.greeks(SPOT, R, VOL, Q, FRI)
    curves = product.greeks(SPOT, flat(R, anchored_on), constant_vol(VOL, anchored_on),
                            flat(Q, anchored_on), FRI)
    # a curve on a fixed date does not follow the one-day step of theta
    fields = scalar._fields if anchored_on is None else ("npv", "delta", "gamma", "vega", "rho")
    for field in fields:
        assert getattr(curves, field) == pytest.approx(getattr(scalar, field), rel=1e-12,
                                                       abs=1e-12), field
