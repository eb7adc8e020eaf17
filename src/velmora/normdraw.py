"""The fixed pool of standard normal draws behind every Monte Carlo valuation.

The pool is drawn once, when this module is imported: ``N_SAMPLES`` rows (paths) by 500
columns (time steps), from PyTorch's global generator reseeded with ``RANDOM_SEED``.  The
second half of the rows is the negation of the first half (antithetic variates), so every
column has mean zero up to rounding.  Every valuation in the process reads the same draws:
a product valued twice with the same inputs gives the same value, and bumped valuations
differ only through the bumped input (common random numbers).

Importing this module reseeds PyTorch's global generator and consumes 50,000,000 draws
from it; the pool holds 100,000,000 values of PyTorch's default floating type (about
400 MB at 32 bits) for the life of the process.

A worker process started by a book valuation may be handed the pool of the process that
started it, in shared memory, before it imports this module: it then maps those same
values instead of drawing its own, and leaves PyTorch's global generator in the state the
drawing would have left it (see ``velmora._pool_handover``).
"""

from __future__ import annotations

import torch

from . import _pool_handover

N_SAMPLES = 200000
RANDOM_SEED = 42


def _gen_normdraws(n_samples: int, steps: int) -> torch.Tensor:
    """A new antithetic pool of ``2 * (n_samples // 2)`` rows by ``steps`` columns."""
    torch.manual_seed(RANDOM_SEED)
    rtn = torch.distributions.Normal(0, 1).sample((n_samples // 2, steps))
    return torch.cat([rtn, -rtn], dim=0)


def _draw_pool() -> tuple[torch.Tensor, torch.Tensor]:
    pool = _gen_normdraws(N_SAMPLES, 500)
    return pool, torch.get_rng_state()


# the pool, and PyTorch's generator state right after it was drawn (for hand-over)
_normdraws, _rng_after = _pool_handover.take((N_SAMPLES, 500)) or _draw_pool()


def _shared_pool() -> tuple[torch.Tensor, torch.Tensor]:
    """The pool, moved into shared memory, with the generator state after its drawing.

    The values are copied once into a shared block that becomes this process's pool;
    views taken before keep the old block alive, so nothing already handed out changes.
    """
    global _normdraws
    if not _normdraws.is_shared():
        shared = torch.empty_like(_normdraws).share_memory_()
        shared.copy_(_normdraws)
        _normdraws = shared
    return _normdraws, _rng_after


def get_normdraws(steps: int) -> torch.Tensor:
    """The first ``steps`` columns of the pool, as a view (no copy): do not write into it.

    Raises
    ------
    ValueError
        "steps overflow" when more steps are asked for than the pool has columns (500):
        a maturity more than 500 trading days ahead cannot be simulated.
    """
    if steps > _normdraws.shape[1]:
        raise ValueError("steps overflow")
    return _normdraws[:, :steps]
