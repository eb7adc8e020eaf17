"""Book valuation: every trade of a book valued with greeks and scenario ladders.

A desk revalues its whole book every evening.  ``value_book`` takes a frame of trades
(``read_trades``), a market per underlying (``read_market``), an evaluation date and a
list of scenarios (``Scenario``, ``spot_ladder``, ``vol_ladder``), and returns one row
per trade and scenario with the product's own value and greeks, the standard error of
the value and the engine that gave it, the position in desk units (``DESK_COLUMNS``), a
per-trade error text instead of numbers where a trade fails, and the seconds each row
took; the frame's ``attrs["run"]`` records the run.  ``summarize`` adds the positions up
per underlying and scenario; ``plot_ladder`` draws the ladders; ``write_results`` and
``read_results`` keep the results with their record.  ``python -m velmora.book`` does
all of it from files.

Where the trades are valued (``executor``):

* ``None``: local worker processes, one per core.  Processes, not threads: QuantLib's
  evaluation date is a setting of the whole process.  Workers are started fresh
  (``spawn``), open the caller's lumadex store by its path, and share the cores: torch
  and the autocallable engine run ``cores // workers`` threads in each.  When the book
  holds Monte Carlo notes, the caller's normal pool (``velmora.normdraw``, drawn here
  if this process has none yet) is put in shared memory once and mapped by every
  worker: the same values, without each worker drawing its own 400 MB.
* ``"serial"``: one trade after the other in the calling process.
* a ``dask.distributed.Client``: that cluster's workers, which need velmora installed
  and the caller's store file at the same path.

The numbers do not depend on the executor or on how the book is split: every valuation
is the product's own ``greeks`` (or ``npv``) on the same inputs, and the Monte Carlo
notes give the same result on any number of threads.

A worker process that dies (a crash, an out-of-memory kill) loses nothing: the trade
it was valuing is tried once more in another process, the trades queued behind it go
to other workers, and a trade whose second try also kills its worker gets the error
"WorkerDied: ...".  On Dask the scheduler's own retry rule applies first
(``distributed.scheduler.allowed-failures``); the trades of a task it gives up on are
then tried again one task at a time, after the rest of the book, so that a worker
dying then can only be the trade's own doing.
"""

from ._checks import MAX_QUANTITY
from ._checks import finite_number as finite_number
from ._checks import parse_iso_date as parse_iso_date
from ._frame import COLUMNS
from ._frame import GREEKS as GREEKS
from ._io import read_market, read_trades
from ._products import ENGINES, PRODUCTS, ProductKind
from ._record import read_results, write_results
from ._record import run_record as run_record
from ._reports import DESK_COLUMNS, desk_units, plot_ladder, summarize
from ._runners import ClusterLost, WorkerDied
from ._runners import Runner as Runner
from ._scenario import BASE as BASE
from ._scenario import (MAX_LADDER_POINTS, Scenario, spot_ladder, spot_vol_grid,
                        vol_ladder)
from ._valuation import value_book

__all__ = [
    "COLUMNS",
    "DESK_COLUMNS",
    "ENGINES",
    "MAX_LADDER_POINTS",
    "MAX_QUANTITY",
    "PRODUCTS",
    "ClusterLost",
    "ProductKind",
    "Scenario",
    "WorkerDied",
    "desk_units",
    "plot_ladder",
    "read_market",
    "read_results",
    "read_trades",
    "spot_ladder",
    "spot_vol_grid",
    "summarize",
    "value_book",
    "vol_ladder",
    "write_results",
]

