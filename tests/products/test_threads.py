"""Valuations from several threads give exactly the single-threaded numbers.

QuantLib's evaluation date is one setting for the whole process: without the lock, a
thread switch between "set the date" and "value" prices one product at another
thread's date.  A tiny switch interval makes such switches frequent.
"""

import random
import sys
import threading

import pandas as pd
import pytest
import QuantLib as ql

from autocall_cases import terms as autocall_terms
from velmora.asian import AsianOption
from velmora.barrier import BarrierOption
from velmora.dualknock import DoubleBarrierOption
from velmora.snowball import SnowBallOption
from velmora.vanilla import VanillaOption

UNDERLYING = "600000.XSHG"
COMMON = {"underlying": UNDERLYING, "effect_date": "2024-01-02",
          "maturity_date": "2024-12-31", "s0": 100.0, "notional": 1.0, "strike": 100.0,
          "call_put": "call", "exercise_type": "european", "payoff_type": "plain_vanilla"}
QUANTLIB_PRODUCTS = {
    "vanilla": (VanillaOption, {}),
    "barrier": (BarrierOption, {"barrier_type": "down_and_out", "barrier": 70.0,
                                "rebate": 0.0}),
    "double-barrier": (DoubleBarrierOption, {"barrier_type": "knock_out",
                                             "barrier_lo": 60.0, "barrier_hi": 160.0,
                                             "rebate": 0.0}),
    "asian": (AsianOption, {"average_type": "geometric"}),
}
DATES = ["2024-02-05", "2024-05-06", "2024-08-05", "2024-11-04"]
SPOTS = [95.0, 100.0, 104.0]


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def _run_threads(jobs_per_thread, value):
    results, errors = {}, []

    def worker(jobs):
        try:
            for job in jobs:
                results.setdefault(job, set()).add(value(job))
        except Exception as e:  # noqa: BLE001  (reported in the main thread)
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(jobs,)) for jobs in jobs_per_thread]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


def test_quantlib_products_at_different_dates(market, fast_switching):
    market.set_closes(UNDERLYING, {d: 100.0 for d in pd.bdate_range("2024-01-02",
                                                                     "2024-12-31")})
    products = {name: cls(dict(COMMON, **extra))
                for name, (cls, extra) in QUANTLIB_PRODUCTS.items()}
    jobs = [(name, date, spot) for name in products for date in DATES for spot in SPOTS]

    def value(job):
        name, date, spot = job
        return products[name].npv(spot, 0.02, 0.3, 0.01, pd.Timestamp(date))

    expected = {}
    for job in jobs:
        expected[job] = value(job)
        d = pd.Timestamp(job[1])
        # the evaluation date is left set to the last valuation's date
        assert ql.Settings.instance().evaluationDate == ql.Date(d.day, d.month, d.year)
    assert len(set(expected.values())) == len(jobs), "dates and spots must change values"
    rng = random.Random(7)
    # Every case twice per thread, and the quick vanilla cases many more times: 2,400
    # valuations in four threads.
    quick = [job for job in jobs if job[0] == "vanilla"]
    per_thread = [rng.sample(jobs, len(jobs)) * 2 + rng.sample(quick, len(quick)) * 42
                  for _ in range(4)]
    results = _run_threads(per_thread, value)
    wrong = {job: got for job, got in results.items() if got != {expected[job]}}
    assert not wrong, f"{len(wrong)} of {len(jobs)} cases got another thread's numbers"


def test_autocallables_run_beside_quantlib_valuations(market, fast_switching, monkeypatch):
    """A snowball in its own threads, next to QuantLib valuations: same bits as alone."""
    from velmora import normdraw
    real = normdraw.get_normdraws
    monkeypatch.setattr(normdraw, "get_normdraws", lambda n: real(n)[:20000])
    market.set_closes(UNDERLYING, {d: 100.0 for d in pd.bdate_range("2024-01-02",
                                                                     "2024-12-31")})
    snowball = SnowBallOption(autocall_terms())
    vanilla = VanillaOption(dict(COMMON))
    jobs = [("snowball", d) for d in DATES[:2]] + [("vanilla", d) for d in DATES]

    def value(job):
        product = snowball if job[0] == "snowball" else vanilla
        return product.npv(100.0, 0.02, 0.3, 0.01, pd.Timestamp(job[1]))

    expected = {job: value(job) for job in jobs}
    results = _run_threads([jobs * 3, jobs[::-1] * 3, jobs * 3], value)
    assert all(got == {expected[job]} for job, got in results.items()), results
