"""Test-only products for book valuation: they die, or die once, or answer a ladder
badly.  Imported by name in the worker processes (the tests folder is on their path)."""

import multiprocessing
import os
import pathlib
import signal
import sys
import threading
import time

from velmora.groundwork import OptionGreeks


def _die(how):
    if multiprocessing.parent_process() is None:  # never take the test runner down
        raise RuntimeError("this product only dies inside a worker process")
    if how == "kill":  # what an out-of-memory kill looks like from outside
        os.kill(os.getpid(), signal.SIGKILL)
    os._exit(70)


class DyingOption:
    """Kills its process on every valuation."""

    def __init__(self, option):
        self.how = option["how"]

    def npv(self, spot, r, vol, q, evaluation_date=None):
        _die(self.how)

    def greeks(self, spot, r, vol, q, evaluation_date=None):
        _die(self.how)


class DoubleOption:
    """Worth twice the spot; with a ``marker`` path it kills its first process only."""

    def __init__(self, option):
        self.marker = option.get("marker")

    def npv(self, spot, r, vol, q, evaluation_date=None):
        if self.marker is not None and not pathlib.Path(self.marker).exists():
            pathlib.Path(self.marker).touch()
            _die("exit")
        return 2.0 * spot

    def greeks(self, spot, r, vol, q, evaluation_date=None):
        return OptionGreeks(self.npv(spot, r, vol, q, evaluation_date), 2.0, 0.0, 0.0,
                            0.0, 0.0)


class ShortLadderOption(DoubleOption):
    """Values a whole spot ladder in one call, but one value short."""

    def spot_ladder(self, spots, r, vol, q, evaluation_date):
        return [2.0 * s for s in spots[:-1]]


# A hook that a test points at its in-process Dask cluster's ``close``.
CLOSE_CLUSTER = None


class ClusterClosingOption:
    """Closes the (in-process) Dask cluster running it, then takes a moment to value."""

    def __init__(self, option):
        pass

    def npv(self, spot, r, vol, q, evaluation_date=None):
        threading.Thread(target=CLOSE_CLUSTER, daemon=True).start()
        time.sleep(2.0)
        return 1.0

    greeks = npv


class PoolProbeOption:
    """Worth 1.0 where its process has imported the Monte Carlo pool, else 0.0."""

    def __init__(self, option):
        pass

    def npv(self, spot, r, vol, q, evaluation_date=None):
        return float("velmora.normdraw" in sys.modules)
