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
"""

import torch

N_SAMPLES = 200000
RANDOM_SEED = 42


def _gen_normdraws(n_samples, steps):
    """A new antithetic pool of ``2 * (n_samples // 2)`` rows by ``steps`` columns."""
    torch.manual_seed(RANDOM_SEED)
    rtn = torch.distributions.Normal(0, 1).sample((n_samples // 2, steps))
    return torch.cat([rtn, -rtn], dim=0)


_normdraws = _gen_normdraws(N_SAMPLES, 500)


def get_normdraws(steps):
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
