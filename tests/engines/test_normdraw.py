"""The normal pool: shape, views, antithetic halves, seed, overflow."""

import pytest
import torch

from velmora import normdraw


def test_constants_and_whole_pool():
    assert (normdraw.N_SAMPLES, normdraw.RANDOM_SEED) == (200000, 42)
    pool = normdraw.get_normdraws(500)
    assert pool.shape == (200000, 500)
    assert pool.dtype == torch.get_default_dtype() and pool.device.type == "cpu"


@pytest.mark.parametrize("steps", [0, 1, 243, 500], ids=lambda s: f"steps={s}")
def test_view_of_leading_columns(steps):
    view = normdraw.get_normdraws(steps)
    assert view.shape == (200000, steps)
    if steps:
        assert view.data_ptr() == normdraw._normdraws.data_ptr(), "a copy, not a view"
        assert torch.equal(view, normdraw._normdraws[:, :steps])


@pytest.mark.parametrize("steps", [501, 10_000])
def test_overflow(steps):
    with pytest.raises(ValueError, match="^steps overflow$"):
        normdraw.get_normdraws(steps)


def test_shorter_call_is_prefix_of_longer():
    assert torch.equal(normdraw.get_normdraws(37), normdraw.get_normdraws(250)[:, :37])


def test_antithetic_halves_and_zero_column_means():
    pool = normdraw._normdraws
    half = normdraw.N_SAMPLES // 2
    assert torch.equal(pool[half:], -pool[:half])
    means = pool.double().mean(dim=0)
    assert means.abs().max().item() <= 1e-12


def test_draws_look_standard_normal():
    # 100,000 independent draws per column: sd of the sample variance ~ sqrt(2/1e5)
    first = normdraw._normdraws[:100000, :50].double()
    var = first.var(dim=0)
    assert (var - 1).abs().max().item() <= 5 * (2 / 100000) ** 0.5


def test_rebuilding_reproduces_the_pool():
    # Seed 42 is set before drawing, so a second build (as in a fresh process) gives the
    # same pool whatever happened to the global generator in between.
    torch.rand(7)
    again = normdraw._gen_normdraws(normdraw.N_SAMPLES, 500)
    assert torch.equal(again, normdraw._normdraws)
    del again
    assert normdraw._gen_normdraws(5, 3).shape == (4, 3)
