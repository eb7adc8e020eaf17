"""The sample data set: synthetic daily bars, generated reproducibly.

SYNTHETIC DATA, NOT MARKET DATA.  Three made-up underlyings trade on every
Shanghai trading day from 2021-01-04 to 2025-12-31.  Up to the end of 2024 each
follows a random walk; through 2025 (the "demo year") each follows a set shape,
so that contracts struck on the first trading day of 2025 take every branch:

``SYN001.XSHG``  rally: rises about 20 % in 2025 -- up barriers and knock-out
                 levels above the start are crossed;
``SYN002.XSHG``  slump: falls about 30 % in 2025 -- down barriers and knock-in
                 levels below the start are crossed;
``SYN003.XSHG``  range: stays within a few per cent of its start in 2025 --
                 nothing is crossed.  It carries the adjustment events: a
                 10-for-10 bonus issue (factor 2.0) in July 2023 and a cash
                 dividend (factor 1.0125) in June 2025.
``SYN001.XSHG`` also pays a cash dividend (factor 1.01) in June 2024.

The prices come from ``numpy.random.RandomState`` with a fixed seed (a stream
numpy keeps stable across versions), so every build gives the same numbers.
Around each 2025 shape the log price carries a mean-reverting (AR(1)) noise of
about 16 % annualised volatility; raw prices are rounded to 0.01.

``ensure_sample_store()`` builds the store into the cache directory on first use
(atomically: a half-built file is never visible) and returns its path.  The cache
directory is ``$LUMADEX_CACHE_DIR`` if set, else ``$XDG_CACHE_HOME/lumadex``, else
``~/.cache/lumadex``.
"""

import datetime
import functools
import math
import os
import pathlib
import sqlite3
import tempfile
from collections.abc import Callable

import numpy as np

from . import _store
from ._store import BarRow, FactorRow, StrPath
from ._calendar import get_next_trading_date, get_previous_trading_date, get_trading_dates

VERSION = 1
SEED = 20250101
FIRST_DAY = datetime.date(2021, 1, 4)
LAST_DAY = datetime.date(2025, 12, 31)
DEMO_START = datetime.date(2025, 1, 2)

# underlying: (first close, annual vol before 2025, 2025 shape of u in [0, 1], note)
UNDERLYINGS: dict[str, tuple[float, float, Callable[[float], float], str]] = {
    "SYN001.XSHG": (12.0, 0.22, lambda u: 1.0 + 0.26 * math.sin(math.pi * u / 1.3),
                    "synthetic rally: rises about 20% in 2025 (knock-out paths)"),
    "SYN002.XSHG": (35.0, 0.25, lambda u: 1.0 - 0.34 * math.sin(math.pi * u / 1.45),
                    "synthetic slump: falls about 30% in 2025 (knock-in paths)"),
    "SYN003.XSHG": (96.0, 0.18, lambda u: 1.0 + 0.025 * math.sin(4 * math.pi * u),
                    "synthetic range: within a few per cent in 2025 (paths that cross "
                    "nothing); bonus issue 2023, dividend 2025"),
}

# underlying: [(on or after this day, factor)], moved onto the next trading day
EVENTS = {
    "SYN001.XSHG": [(datetime.date(2024, 6, 17), 1.01)],
    "SYN003.XSHG": [(datetime.date(2023, 7, 3), 2.0), (datetime.date(2025, 6, 16), 1.0125)],
}

_NOISE_PHI = 0.9  # AR(1) coefficient of the log-price noise
_NOISE_SD = 0.01  # daily innovation; stationary sd 0.01 / sqrt(1 - 0.81) ~ 2.3 %


def _on_or_after(d: datetime.date) -> datetime.date:
    return get_next_trading_date(get_previous_trading_date(d))


def generate() -> tuple[list[BarRow], list[FactorRow], dict[str, str]]:
    """The sample data as (bars, factors, info).

    bars: (underlying, ISO date, open, high, low, close, volume) rows of raw prices;
    factors: (underlying, ISO ex-date, factor) rows; info: store notes.
    """
    days = get_trading_dates(FIRST_DAY, LAST_DAY)
    n = len(days)
    demo = days.index(DEMO_START)
    rng = np.random.RandomState(SEED)
    bars: list[BarRow] = []
    factors: list[FactorRow] = []
    for name, (first, vol, shape, _) in UNDERLYINGS.items():
        steps = rng.standard_normal(n) * vol / math.sqrt(244)
        noise = np.empty(n)
        innov = rng.standard_normal(n) * _NOISE_SD
        noise[0] = innov[0]
        for t in range(1, n):
            noise[t] = _NOISE_PHI * noise[t - 1] + innov[t]
        base = np.log(first) + np.concatenate([[0.0], np.cumsum(steps[1:])])
        base[demo:] = base[demo] + np.log(
            [shape((t - demo) / (n - 1 - demo)) for t in range(demo, n)])
        close = np.exp(base + noise)  # on the scale of the last bar ("pre" prices)
        gap = np.exp(rng.standard_normal(n) * 0.004)
        wick_hi = np.abs(rng.standard_normal(n)) * 0.006
        wick_lo = np.abs(rng.standard_normal(n)) * 0.006
        volume = np.round(np.exp(rng.standard_normal(n) * 0.35) * 2.0e6)

        events = [(_on_or_after(d), f) for d, f in EVENTS.get(name, [])]
        factors += [(name, d.isoformat(), f) for d, f in events]
        for t, d in enumerate(days):
            later = math.prod(f for e, f in events if d < e)  # raw = pre * later
            c = close[t]
            o = (close[t - 1] if t else c) * gap[t]
            h = max(o, c) * (1 + wick_hi[t])
            lo = min(o, c) * (1 - wick_lo[t])
            o, h, lo, c = (round(x * later, 2) for x in (o, h, lo, c))
            bars.append((name, d.isoformat(), o, h, lo, c, float(round(volume[t] / later))))
    info = {
        "synthetic": "yes",
        "description": "SYNTHETIC sample data generated by lumadex (not market data)",
        "generator": f"lumadex._sample version {VERSION}, seed {SEED}",
    }
    info.update({name: u[3] for name, u in UNDERLYINGS.items()})
    return bars, factors, info


def build(path: StrPath) -> str:
    """Write the sample data set to a new store at ``path`` (replacing any file there)."""
    bars, factors, info = generate()
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".sample-", suffix=".sqlite", dir=directory)
    os.close(fd)
    os.unlink(tmp)
    try:
        with _store.writer(tmp) as conn:
            _store.write_rows(conn, bars, factors, info)
        # The sample is only ever read: fold the log into the file and drop WAL so
        # the store is one self-contained file.
        conn = sqlite3.connect(tmp, isolation_level=None)
        try:
            conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            conn.execute("PRAGMA journal_mode=DELETE")
        finally:
            conn.close()
        os.replace(tmp, path)
    finally:
        for leftover in (tmp, tmp + "-wal", tmp + "-shm"):
            if os.path.exists(leftover):
                os.unlink(leftover)
    return path


def cache_dir() -> pathlib.Path:
    """Directory holding the generated sample store."""
    environ = os.environ
    return _cache_dir(environ.get("LUMADEX_CACHE_DIR"), environ.get("XDG_CACHE_HOME"),
                      environ.get("HOME"))


@functools.lru_cache(maxsize=16)
def _cache_dir(own: str | None, xdg: str | None, home: str | None) -> pathlib.Path:
    """The folder for these values of the three variables it depends on (every query
    asks for it: the path is worked out once per setting, not at each query)."""
    if own:
        return pathlib.Path(own)
    base = pathlib.Path(xdg) if xdg else pathlib.Path.home() / ".cache"
    return base / "lumadex"


def sample_store_path() -> pathlib.Path:
    """Where the generated sample store lives."""
    return _store_file(cache_dir())


@functools.lru_cache(maxsize=16)
def _store_file(folder: pathlib.Path) -> pathlib.Path:
    return folder / f"sample-v{VERSION}.sqlite"


@functools.cache
def _ensure(path: pathlib.Path) -> pathlib.Path:
    if path.exists():
        return path
    try:
        return pathlib.Path(build(path))
    except PermissionError:
        # A read-only home: fall back to a per-user directory under the temp dir.
        fallback = (pathlib.Path(tempfile.gettempdir()) / f"lumadex-{os.getuid()}"
                    if hasattr(os, "getuid") else pathlib.Path(tempfile.gettempdir()) / "lumadex")
        fallback = fallback / path.name
        if not fallback.exists():
            build(fallback)
        return fallback


def ensure_sample_store() -> pathlib.Path:
    """Path of the sample store, building it first when it is not there (any more)."""
    path = _ensure(sample_store_path())
    if not path.exists():  # deleted since: build it again
        _ensure.cache_clear()
        path = _ensure(sample_store_path())
    return path
