"""The compiled core refuses what it cannot value and never takes the process down.

Bad inputs to the path valuation get a clear exception; sizes that do not fit in memory
raise instead of wrapping around; torch views with a pending negation are read as the
values they stand for; a system that refuses threads still gets the full result.
"""

import ast
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
import torch

import autocall_reference as ref
import velmora
from autocall_cases import terms
from velmora import _core
from velmora.phoenix import PhoenixOption
from velmora.snowball import SnowBallOption

PRODUCTS = {"snowball": SnowBallOption, "phoenix": PhoenixOption}
DISCOUNT = torch.tensor([1.0, 0.9, 0.8, 0.7], dtype=torch.float64)
KO, KI = np.array([1, 3]), np.array([0, 1, 2, 3])
COUPON = pd.Series([1.0, 2.0], index=pd.to_datetime(["2024-02-02", "2024-03-04"]))
# Knocks in on column 2 and ends below the strike: a loss at maturity.
KNOCKED_IN_PATH = [1.0, 1.0, 0.79, 0.9]


def _args(**change):
    args = {"paths": torch.tensor([KNOCKED_IN_PATH, [1.0, 1.0, 1.0, 1.0]],
                                  dtype=torch.float64),
            "spot": 100.0, "ki_ob_indexes": KI, "ko_ob_indexes": KO,
            "discount": DISCOUNT.clone(), "coupon": COUPON, "knocked_in": False}
    args.update(change)
    return args


def _with_nan(row, col):
    paths = _args()["paths"]
    paths[row, col] = float("nan")
    return paths


BAD_INPUTS = [
    ("nan-terminal-on-knocked-in-path", {"paths": _with_nan(0, 3)}, ValueError),
    ("nan-on-knock-in-date", {"paths": _with_nan(1, 2)}, ValueError),
    ("nan-on-knock-out-date", {"paths": _with_nan(1, 1)}, ValueError),
    ("inf-level", {"paths": _with_nan(0, 3).nan_to_num(nan=float("inf"))}, ValueError),
    ("nan-discount", {"discount": torch.tensor([1.0, 0.9, float("nan"), 0.7],
                                               dtype=torch.float64)}, ValueError),
    ("negative-discount", {"discount": -DISCOUNT}, ValueError),
    ("float-ko-columns", {"ko_ob_indexes": np.array([1.0, 2.6])}, TypeError),
    ("float-ki-columns", {"ki_ob_indexes": torch.tensor([0.0, 1.5])}, TypeError),
    ("unsorted-ko-columns", {"ko_ob_indexes": np.array([3, 1])}, ValueError),
    ("repeated-ko-column", {"ko_ob_indexes": np.array([3, 3])}, ValueError),
    ("ko-column-outside", {"ko_ob_indexes": np.array([1, 4])}, IndexError),
]


@pytest.mark.parametrize("rule", PRODUCTS)
@pytest.mark.parametrize("name,change,error", BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
def test_path_valuation_refuses_bad_inputs(market, rule, name, change, error):
    product = PRODUCTS[rule](terms())
    with pytest.raises(error):
        product._mc_pricing(**_args(**change))


@pytest.mark.parametrize("argument", ["ko_columns", "ki_columns"])
def test_core_refuses_fractional_columns(argument):
    """Calling the core directly: a float column array is refused, not truncated."""
    cols = {"ko_columns": KO, "ki_columns": KI}
    cols[argument] = cols[argument] + 0.5
    with pytest.raises(TypeError):
        _core.value_paths(np.ones((3, 4)), cols["ko_columns"], cols["ki_columns"],
                          np.ones(4), np.ones(2), np.array([100.0]), strike=100.0,
                          ki_barrier=80.0, ko_barrier=103.0, rule="snowball",
                          knocked_in=False, threads=1)


def _lazily_negated(x):
    """A view whose values are x, stored as -x with torch's negative bit set."""
    stored = -x
    view = torch.complex(stored, stored).conj().imag
    assert view.is_neg() and torch.equal(view, x)
    return view


@pytest.mark.parametrize("rule", PRODUCTS)
@pytest.mark.parametrize("lazy", ["paths", "discount"])
def test_lazily_negated_tensors_read_as_their_values(market, rule, lazy):
    gen = torch.Generator().manual_seed(11)
    paths = torch.exp(torch.cumsum(torch.randn(500, 4, generator=gen, dtype=torch.float64)
                                   * 0.1, dim=1))
    product = PRODUCTS[rule](terms())
    args = _args(paths=paths)
    args[lazy] = _lazily_negated(args[lazy])
    got = product._mc_pricing(**args)
    want = ref.PARTS[rule](paths, 100.0, KI, KO, DISCOUNT, COUPON, False, product.strike,
                           product.ki_barrier, product.ko_barrier)
    assert want["loss"] < 0
    assert abs(got - want["value"]) <= 1e-6 * max(1.0, abs(want["value"]))


def _stride0_draws(rows):
    """A float32 pool of `rows` identical rows of one column, without the memory."""
    return np.lib.stride_tricks.as_strided(np.zeros((1, 1), dtype=np.float32),
                                           shape=(rows, 1), strides=(0, 4))


@pytest.mark.parametrize("n_spots", [8192, 1])
def test_sizes_beyond_memory_raise(n_spots):
    with pytest.raises((MemoryError, ValueError)):
        _core.simulate(_stride0_draws(2**61 - 1), np.array([1 / 365]), np.array([0]),
                       np.array([0]), np.array([1.0]), np.linspace(90.0, 110.0, n_spots),
                       r=0.0, q=0.0, vol=0.2, strike=100.0, ki_barrier=80.0,
                       ko_barrier=103.0, rule="snowball", knocked_in=False, threads=2)


def test_strides_beyond_the_address_space_raise():
    wide = np.lib.stride_tricks.as_strided(np.zeros((1, 2), dtype=np.float32),
                                           shape=(2**40, 2), strides=(2**40, 4))
    with pytest.raises(ValueError):
        _core.value_paths(wide, np.array([1]), np.array([0, 1]), np.ones(2), np.ones(1),
                          np.array([1.0]), strike=1.0, ki_barrier=0.8, ko_barrier=1.03,
                          rule="snowball", knocked_in=False, threads=1)


REFUSED_THREADS = textwrap.dedent("""
    import resource
    import numpy as np
    resource.setrlimit(resource.RLIMIT_AS, (3_000_000 * 1024, resource.RLIM_INFINITY))
    from velmora import _core
    rows = 4096 * _core.PATH_BLOCK
    draws = np.lib.stride_tricks.as_strided(np.full((1, 3), 0.4, dtype=np.float32),
                                            shape=(rows, 3), strides=(0, 4))
    kw = dict(step_years=np.full(3, 1 / 365), ko_columns=np.array([2]),
              ki_columns=np.arange(3), coupons=np.array([1.0]),
              spots=np.array([100.0]), r=0.02, q=0.0, vol=0.3, strike=100.0,
              ki_barrier=80.0, ko_barrier=101.0, rule="snowball", knocked_in=False)
    many = _core.simulate(draws, threads=4096, **kw)
    one = _core.simulate(draws, threads=1, **kw)
    assert many == one, (many, one)
    print("ok", many)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space cap")
def test_refused_threads_fall_back_to_fewer():
    """4096 thread stacks do not fit in 3 GB: the threads that start do all the work."""
    done = subprocess.run([sys.executable, "-c", REFUSED_THREADS], capture_output=True,
                          text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.startswith("ok")


def _bound_parameters(signature):
    """Parameter names of a nanobind signature text, '*' for the keyword-only marker and
    a trailing '=' on each name with a default (commas inside brackets are skipped)."""
    inner = signature[signature.index("(") + 1:signature.rindex(") ->")]
    names, depth, start = [], 0, 0
    for i, ch in enumerate(inner + ","):
        depth += ch in "[(" and 1 or ch in "])" and -1 or 0
        if ch == "," and depth == 0:
            part = inner[start:i].strip()
            if part:
                names.append(part.split(":")[0].strip() + ("=" if " = " in part else ""))
            start = i + 1
    return names


def _stub_parameters(node):
    a = node.args
    defaulted = {arg.arg for arg, d in zip(a.kwonlyargs, a.kw_defaults) if d is not None}
    defaulted |= {arg.arg for arg in a.args[len(a.args) - len(a.defaults):]}
    names = [x.arg for x in a.args] + ["*"] * bool(a.kwonlyargs) + [x.arg for x in a.kwonlyargs]
    return [n + ("=" if n in defaulted else "") for n in names]


def test_the_stub_lists_every_binding_with_its_parameters():
    stub = ast.parse(pathlib.Path(velmora.__file__).with_name("_core.pyi").read_text())
    typed = {node.name: _stub_parameters(node) for node in stub.body
             if isinstance(node, ast.FunctionDef)}
    constants = {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)
                 and node.target.id.isupper()}
    bound = {name: _bound_parameters(obj.__nb_signature__[0][0]) for name in dir(_core)
             if hasattr(obj := getattr(_core, name), "__nb_signature__")}
    assert typed == bound
    assert constants == {n for n in dir(_core) if n.isupper()}
