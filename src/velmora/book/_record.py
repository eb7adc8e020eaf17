"""The record of a book run, and results files that keep it.

A run is recorded as a plain dictionary (JSON-ready): the as-of date, the market inputs
used per underlying, the scenarios, the engines chosen, the versions of velmora,
QuantLib and Python, the store read and the date of its last bar, and the start and end
time (UTC).  A Parquet results file carries it in its own key-value metadata under
``velmora.run``; a CSV results file has it in a JSON file beside it
(``results.csv`` -> ``results.run.json``).  Every file is written to a temporary file in
the same folder and renamed into place, so a failed write leaves the old file whole.
"""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import platform
import tempfile
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import datetime

    import pandas as pd

    from ._scenario import Scenario

RECORD_KEY = b"velmora.run"


def _store() -> tuple[str | None, str | None]:
    """The path of the store this process reads and the date of its last bar."""
    try:
        import lumadex
        from lumadex import _store

        path = str(lumadex.store_path())
    except Exception:
        return None, None
    try:
        last = max((row[2] for row in _store.underlyings(path) if row[2] is not None),
                   default=None)
    except Exception:
        last = None
    return path, None if last is None else str(last)[:10]


def _plain(value: Any) -> Any:
    """A market input as JSON-ready data: a number as a float, a curve's pairs and a
    surface's grid as lists and objects."""
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, str):
        return value
    return float(value)


def run_record(*, date: datetime.date, market: Mapping[str, Mapping[str, Any]],
               scenarios: Iterable[Scenario], engines: Mapping[str, str], greeks: bool,
               started: datetime.datetime, ended: datetime.datetime,
               engines_used: Mapping[str, list[str]] | None = None) -> dict[str, Any]:
    """The record of one ``value_book`` run, as a JSON-ready dictionary."""
    import QuantLib

    import velmora

    store, last_bar = _store()
    return {
        "as_of": date.isoformat(),
        "market": {u: {k: _plain(v) for k, v in market[u].items()} for u in sorted(market)},
        "scenarios": [{"name": s.name, "spot_shift": s.spot_shift, "vol_shift": s.vol_shift}
                      for s in scenarios],
        "engines": dict(engines),
        "engines_used": dict(engines_used or {}),
        "greeks": bool(greeks),
        "versions": {"velmora": velmora.__version__, "QuantLib": QuantLib.__version__,
                     "python": platform.python_version()},
        "store": {"path": store, "last_bar": last_bar},
        "started": started.isoformat(),
        "ended": ended.isoformat(),
    }


def replace_atomically(path: str | os.PathLike[str],
                       write: Callable[[str], object]) -> pathlib.Path:
    """Call ``write(temporary_path)`` and rename the temporary file onto ``path``.

    The temporary file sits in the folder of ``path`` (a rename within one file system
    is atomic); it is removed when ``write`` fails, and ``path`` is then untouched.  The
    new file gets the mode of the one it replaces, else the usual one for new files.
    """
    path = pathlib.Path(path)
    folder = path.parent if str(path.parent) else pathlib.Path(".")
    fd, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=folder)
    os.close(fd)
    try:
        try:
            mode = path.stat().st_mode & 0o777
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, mode)
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return path


def record_path(path: str | os.PathLike[str]) -> pathlib.Path:
    """The JSON file beside a CSV results file: ``x.csv`` -> ``x.run.json``."""
    path = pathlib.Path(path)
    return path.with_name(path.stem + ".run.json")


def write_results(results: pd.DataFrame, path: str | os.PathLike[str]) -> pathlib.Path:
    """Write ``results`` (a ``value_book`` frame) to ``path`` (.parquet or .csv) with its
    run record (``results.attrs["run"]``, when there is one).

    Raises
    ------
    ValueError
        For a suffix other than .parquet or .csv.
    OSError
        When a file cannot be written; the files already there are left whole.
    """
    path = pathlib.Path(path)
    record = results.attrs.get("run")
    suffix = path.suffix.lower()
    frame = results.copy()
    frame.attrs = {}
    if suffix == ".parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq

        table = pa.Table.from_pandas(frame, preserve_index=False)
        if record is not None:
            metadata = dict(table.schema.metadata or {})
            metadata[RECORD_KEY] = json.dumps(record).encode()
            table = table.replace_schema_metadata(metadata)
        replace_atomically(path, lambda tmp: pq.write_table(table, tmp))
    elif suffix == ".csv":
        replace_atomically(path, lambda tmp: frame.to_csv(tmp, index=False))
        if record is not None:
            text = json.dumps(record, indent=2) + "\n"
            replace_atomically(record_path(path),
                               lambda tmp: pathlib.Path(tmp).write_text(text, encoding="utf-8"))
    else:
        raise ValueError(f"results go to a .parquet or .csv file, got {str(path)!r}")
    return path


_TEXT_COLUMNS = ("trade_id", "product", "underlying", "scenario", "engine", "error")


def read_results(path: str | os.PathLike[str]) -> pd.DataFrame:
    """The results frame of a file ``write_results`` wrote, with its run record in
    ``attrs["run"]`` (None when the file has none) and the scenarios' shifts in
    ``attrs["scenarios"]``.

    Raises
    ------
    ValueError
        For a file that cannot be read or a suffix other than .parquet or .csv.
    """
    import pandas as pd

    path = pathlib.Path(path)
    suffix = path.suffix.lower()
    record = None
    try:
        if suffix == ".parquet":
            import pyarrow.parquet as pq

            table = pq.read_table(path)
            raw = (table.schema.metadata or {}).get(RECORD_KEY)
            record = None if raw is None else json.loads(raw)
            frame = table.to_pandas()
        elif suffix == ".csv":
            # text columns stay text (a trade_id "007" is not the number 7)
            frame = pd.read_csv(path, dtype={c: str for c in _TEXT_COLUMNS})
            beside = record_path(path)
            if beside.exists():
                record = json.loads(beside.read_text(encoding="utf-8"))
        else:
            raise ValueError(f"results are read from a .parquet or .csv file, got "
                             f"{str(path)!r}")
    except (OSError, json.JSONDecodeError) as e:
        raise ValueError(f"{path}: cannot read the results: {e}") from e
    frame.attrs["run"] = record
    if record is not None:
        frame.attrs["scenarios"] = {s["name"]: (s["spot_shift"], s["vol_shift"])
                                    for s in record["scenarios"]}
    return frame
