"""Which store the client reads.

``init(path)`` points the client at a store file.  Until then (or after
``init(None)``) it reads the bundled sample store, a synthetic data set that is
generated on first use into the user's cache directory (see ``lumadex._sample``)
and opened read-only.
"""

import os
import pathlib

from . import _store
from ._sample import ensure_sample_store

_current: pathlib.Path | None = None


def init(path: str | os.PathLike[str] | None = None) -> pathlib.Path:
    """Read from the store at ``path`` from now on; ``None`` goes back to the sample store.

    The file must exist and be a lumadex store (create one with
    ``python -m lumadex import``).  Every thread's open connections are dropped,
    so the next query reads the file now at the path even if it was opened
    before.  Returns the store's path.

    The path is kept as given (made absolute, symbolic links not resolved): every
    query looks at the file the path names then, so a store published by moving a
    link to a new file is read from the next query on.

    Raises
    ------
    lumadex.StoreError
        When there is no store at ``path``, or the file is not a readable
        lumadex store (a folder, a damaged file, another application's database).
    """
    global _current
    _store.reopen_all()
    if path is None:
        _current = None
        return store_path()
    path = pathlib.Path(path).expanduser().absolute()
    _store.reader(path)  # fails now, not at the first query, for a missing or foreign file
    _current = path
    return path


def store_path() -> pathlib.Path:
    """The store the client reads now (building the sample store if it is the one)."""
    if _current is not None:
        return _current
    return ensure_sample_store()
