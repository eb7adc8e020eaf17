"""Hand-over of the normal pool from a process to the worker processes it starts.

Drawing the 400 MB pool costs each process about half a second and its own copy of the
memory.  A book valuation therefore puts its pool in shared memory
(``velmora.normdraw._shared_pool``) and sends it to its local workers, which call
``give`` before anything imports ``velmora.normdraw``; that import then ``take``s the
pool instead of drawing one.  The values are the drawn ones, bit for bit, and PyTorch's
global generator is left in the state the drawing leaves it, so the worker cannot tell
the difference.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # torch itself is imported by ``take``, once a pool has been given
    import torch

# the pool and the generator state after drawing it, until ``take`` collects them
_given: tuple[torch.Tensor, torch.Tensor] | None = None


def give(pool: torch.Tensor, rng_after: torch.Tensor) -> None:
    """Offer ``pool`` (and the generator state after drawing it) to ``velmora.normdraw``.

    Ignored once that module is loaded: a process keeps the pool it has.
    """
    global _given
    if "velmora.normdraw" not in sys.modules:
        _given = (pool, rng_after)


def take(shape: tuple[int, ...]) -> tuple[torch.Tensor, torch.Tensor] | None:
    """The pool given to this process, if it has ``shape`` and the default float type."""
    global _given
    given, _given = _given, None
    if given is None:
        return None
    import torch

    pool, rng_after = given
    if tuple(pool.shape) != tuple(shape) or pool.dtype != torch.get_default_dtype():
        return None
    torch.set_rng_state(rng_after)
    return pool, rng_after
