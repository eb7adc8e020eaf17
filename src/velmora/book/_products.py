"""The products a book may hold, in one table: the name a trades file gives, the class
that values it, and what the book needs to know of each kind."""

import importlib
from typing import Any, NamedTuple


class ProductKind(NamedTuple):
    """One kind of trade: the class valuing it (by module and name, imported where the
    trade is valued) and its traits.

    ``engines`` are the methods a trade's terms may choose (``"engine"``), the first the
    default; an empty tuple means the product has one method only.  ``reads_pool``: its
    default engine simulates on ``velmora.normdraw``'s pool.  ``plain_gamma``: its
    ``gamma`` field is d2V/dS2 itself, where every other product reports spot x d2V/dS2.
    """

    module: str
    cls: str
    engines: tuple[str, ...] = ()
    reads_pool: bool = False
    plain_gamma: bool = False


_NOTE = ProductKind("", "", ("monte_carlo", "pde"), reads_pool=True, plain_gamma=True)

# product name in a trades file -> its kind
PRODUCTS: dict[str, ProductKind] = {
    "vanilla": ProductKind("velmora.vanilla", "VanillaOption"),
    "barrier": ProductKind("velmora.barrier", "BarrierOption"),
    "dualknock": ProductKind("velmora.dualknock", "DoubleBarrierOption"),
    "touch": ProductKind("velmora.touch", "SingleTouchOption"),
    "dualtap": ProductKind("velmora.dualtap", "DoubleTouchOption"),
    "asian": ProductKind("velmora.asian", "AsianOption", ("monte_carlo", "qmc")),
    "lookback": ProductKind("velmora.lookback", "LookbackOption"),
    "snowball": _NOTE._replace(module="velmora.snowball", cls="SnowBallOption"),
    "phoenix": _NOTE._replace(module="velmora.phoenix", cls="PhoenixOption"),
    "airbag": ProductKind("velmora.airbag", "AirbagOption"),
    "straddle": ProductKind("velmora.straddle", "StraddleOption"),
}

# The engines a trade's terms may choose, per product that has a choice (a view of
# ``PRODUCTS``): the first is the default.
ENGINES: dict[str, tuple[str, ...]] = {name: kind.engines for name, kind in PRODUCTS.items()
                                       if kind.engines}


def kind_of(name: object) -> ProductKind:
    """The kind of product ``name``; ``KeyError`` naming the known ones otherwise.

    An entry given as a bare ``(module, class)`` pair is read as a kind with no traits.
    """
    if not isinstance(name, str) or name not in PRODUCTS:
        raise KeyError(f"unknown product {name!r}; known: {', '.join(sorted(PRODUCTS))}")
    return ProductKind(*PRODUCTS[name])


def plain_gamma_products() -> frozenset[str]:
    """The products whose ``gamma`` field is d2V/dS2 itself."""
    return frozenset(name for name in PRODUCTS if kind_of(name).plain_gamma)


def product_class(module: str, cls: str) -> Any:
    """The class ``cls`` of ``module``, imported here (in the process valuing the trade)."""
    return getattr(importlib.import_module(module), cls)


def chosen_engines(engines: object) -> dict[str, str]:
    """The engine chosen per product kind, checked against each kind's engines."""
    if engines is None:
        return {}
    if not isinstance(engines, dict) and not hasattr(engines, "items"):
        raise TypeError(f"engines must be a mapping of product -> engine name, "
                        f"got {engines!r}")
    chosen = {}
    for kind, name in engines.items():
        if kind not in PRODUCTS:
            raise ValueError(f"engines: unknown product {kind!r}; known: "
                             f"{', '.join(sorted(PRODUCTS))}")
        accepted = kind_of(kind).engines
        if not accepted:
            having = sorted(k for k in PRODUCTS if kind_of(k).engines)
            raise ValueError(f"engines: {kind} has no engine to choose (products that "
                             f"have: {', '.join(having)})")
        if name not in accepted:
            raise ValueError(f"engines: {kind} has no engine {name!r}; accepted: "
                             f"{', '.join(accepted)}")
        chosen[kind] = name
    return chosen
