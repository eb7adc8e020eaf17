"""What the benchmark scripts share: a median timer, and the tests folder on the path.

The benchmarks serve market data with the tests' scripted in-process client
(``from scripted_market import ScriptedMarket``) and compare with the tests' oracles,
so importing this module puts the tests' helper folders on ``sys.path``.  Only the standard
library is imported here: ``bench_lumadex`` times ``import lumadex`` itself, and that
figure must not find pandas already loaded.
"""

import pathlib
import statistics
import sys
import time

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"
for _layer in ("reference", "marketdata", "products", "book", "engines"):
    if str(TESTS / _layer) not in sys.path:
        sys.path.append(str(TESTS / _layer))


def median_seconds(fn, repeat, warmup=True, with_result=False):
    """Median wall time in seconds of ``repeat`` calls of ``fn``.

    With ``warmup`` one untimed call comes first.  With ``with_result`` the return is
    ``(median, result of the last timed call)``.
    """
    if warmup:
        fn()
    samples, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        samples.append(time.perf_counter() - t0)
    median = statistics.median(samples)
    return (median, result) if with_result else median
