"""Date conversion, observation schedules, market-input checks and the QuantLib set-up.

The public face of the helpers the products share; each lives in a module named for
its job, and every name stays importable from here:

* dates: ``to_timestamp`` and ``to_qldate`` (``velmora._dates``) accept every
  date-like value a caller is likely to pass (``datetime.date``, ``datetime.datetime``,
  pandas ``Timestamp``, ``numpy.datetime64``, an ISO date text, or a QuantLib ``Date``)
  and name the offending parameter when they cannot;
* schedules: ``OBS_FREQUENCIES`` and ``get_obs_dates`` (``velmora._schedule``);
* market inputs: ``check_market_inputs`` and the per-cent-slip thresholds
  ``PERCENT_SLIP_VOL`` and ``PERCENT_SLIP_RATE`` (``velmora._market``);
* QuantLib set-up: ``black_scholes_process``, ``set_evaluation_date`` and ``npv_on``
  (``velmora._quantlib``).
"""

from ._dates import to_qldate, to_timestamp
from ._market import PERCENT_SLIP_RATE, PERCENT_SLIP_VOL, check_market_inputs
from ._quantlib import black_scholes_process, npv_on, set_evaluation_date
from ._schedule import OBS_FREQUENCIES, get_obs_dates

__all__ = [
    "OBS_FREQUENCIES",
    "PERCENT_SLIP_RATE",
    "PERCENT_SLIP_VOL",
    "black_scholes_process",
    "check_market_inputs",
    "get_obs_dates",
    "npv_on",
    "set_evaluation_date",
    "to_qldate",
    "to_timestamp",
]
