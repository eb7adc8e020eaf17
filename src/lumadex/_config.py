"""Which store the client reads.

``init(path)`` points the client at a store file.  Until then (or after
``init(None)``) it reads the bundled sample store, a synthetic data set that is
generated on first use into the user's cache directory and opened read-only.
The cache directory is ``$LUMADEX_CACHE_DIR`` if set, else
``$XDG_CACHE_HOME/lumadex``, else ``~/.cache/lumadex``.
"""

import os
import pathlib

from . import _store

_current = None


def cache_dir():
    """Directory holding the generated sample store."""
    env = os.environ.get("LUMADEX_CACHE_DIR")
    if env:
        return pathlib.Path(env)
    xdg = os.environ.get("XDG_CACHE_HOME")
    base = pathlib.Path(xdg) if xdg else pathlib.Path.home() / ".cache"
    return base / "lumadex"


def init(path=None):
    """Read from the store at ``path`` from now on; ``None`` goes back to the sample store.

    The file must exist and be a lumadex store (create one with
    ``python -m lumadex import``).  Every thread's open connections are dropped,
    so the next query reads the file now at the path even if it was opened
    before.  Returns the store's path.

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
    path = pathlib.Path(path).expanduser().resolve()
    _store.reader(path)  # fails now, not at the first query, for a missing or foreign file
    _current = path
    return path


def store_path():
    """The store the client reads now (building the sample store if it is the one)."""
    if _current is not None:
        return _current
    from ._sample import ensure_sample_store

    return ensure_sample_store()
