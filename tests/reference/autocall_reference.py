"""Plain whole-tensor valuation of the snowball and phoenix notes, as a test oracle.

Written straight from the algorithm: build the full M x N matrix of simulated paths
with torch, then decide knock-out, knock-in and coupons with whole-tensor boolean
operations.  Slow and memory-hungry by design; run it on a reduced pool.  The coupon
total is returned both summed in single precision (as the classic tensor method does)
and in double precision.
"""

import numpy as np
import pandas as pd
import torch

import lumadex


def grid(product, evaluation_date):
    """(trading_dates, dtt tensor, ko_ob_indexes, ki_ob_indexes, remaining coupon Series)."""
    evaluation_date = pd.to_datetime(evaluation_date)
    trading_dates = pd.to_datetime(
        lumadex.get_trading_dates(evaluation_date, product.maturity_date))
    coupon = product.coupon[evaluation_date:]
    ko_ob_indexes = trading_dates.searchsorted(coupon.index, side="left")
    if product.ki_obs_freq == product.ko_obs_freq:
        ki_ob_indexes = ko_ob_indexes
    else:
        ki_ob_dates = product.ki_obs_dates[product.ki_obs_dates >= evaluation_date]
        ki_ob_indexes = trading_dates.searchsorted(ki_ob_dates, side="left")
    dtt = np.empty(len(trading_dates), dtype=float)
    dtt[1:] = (trading_dates[1:] - trading_dates[:-1]).days / 365
    dtt[0] = (trading_dates[0] - evaluation_date).days / 365
    return trading_dates, torch.tensor(dtt), ko_ob_indexes, ki_ob_indexes, coupon


def simulate(samples, dtt, r, q, vol):
    """(paths, discount): M x N float64 ratios to the spot, and N discount factors."""
    paths = torch.exp(torch.cumsum((r - q - vol ** 2 / 2) * dtt
                                   + vol * torch.sqrt(dtt) * samples, dim=1))
    discount = torch.exp(-r * dtt.cumsum(dim=0))
    return paths, discount


def snowball_parts(paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                   knocked_in, strike, ki_barrier, ko_barrier):
    m, k = paths.shape[0], len(ko_ob_indexes)
    ki_level, ko_level = ki_barrier / spot, ko_barrier / spot
    have_coupon = torch.zeros(m, k, dtype=torch.bool)
    ko = paths[:, ko_ob_indexes] > ko_level
    already_ko = torch.zeros(m, dtype=torch.bool)
    for i in range(k):
        have_coupon[:, i] = ~already_ko & ko[:, i]
        already_ko |= ko[:, i]
    if knocked_in:
        ki = torch.ones(m, dtype=torch.bool)
    else:
        ki = paths[:, ki_ob_indexes].min(dim=1).values < ki_level
        non_touch = ~ki & ~already_ko
        have_coupon[:, -1] = have_coupon[:, -1] | non_touch
    coupon = torch.tensor(coupon.values) * discount[ko_ob_indexes]
    put_payoff = paths[:, -1] - strike / spot
    put_payoff[~ki | already_ko] = 0
    put_payoff[put_payoff > 0] = 0
    return _parts(have_coupon, coupon, put_payoff, discount, spot)


def phoenix_parts(paths, spot, ki_ob_indexes, ko_ob_indexes, discount, coupon,
                  knocked_in, strike, ki_barrier, ko_barrier):
    m, k = paths.shape[0], len(ko_ob_indexes)
    ki_level, ko_level = ki_barrier / spot, ko_barrier / spot
    have_coupon = torch.zeros(m, k)
    terminate = paths[:, ko_ob_indexes] > ko_level
    hit = torch.zeros(m, dtype=torch.bool)
    for i in range(k):
        have_coupon[:, i] = (~hit & (paths[:, ko_ob_indexes[i]] >= ki_level)).float()
        hit |= terminate[:, i]
    coupon = torch.tensor(coupon.values) * discount[ko_ob_indexes]
    if knocked_in:
        ki = torch.ones(m, dtype=torch.bool)
    else:
        ki = paths[:, ki_ob_indexes].min(dim=1).values < ki_level
    terminate = terminate.any(dim=1)
    put_payoff = paths[:, -1] - strike / spot
    put_payoff[put_payoff > 0] = 0
    put_payoff[~ki | terminate] = 0
    return _parts(have_coupon, coupon, put_payoff, discount, spot)


def _parts(have_coupon, coupon, put_payoff, discount, spot):
    m = have_coupon.shape[0]
    coupon32 = (have_coupon.type(torch.FloatTensor) @ coupon.type(torch.FloatTensor)).sum()
    coupon64 = (have_coupon.double() @ coupon.double()).sum()
    loss = (put_payoff * discount[-1]).sum() * spot
    return {"coupon32": float(coupon32), "coupon64": float(coupon64), "loss": float(loss),
            "value": float((coupon32 + loss) / m), "paths": m,
            "payoffs": (have_coupon.double() @ coupon.double()
                        + put_payoff.double() * discount[-1] * spot).numpy()}


PARTS = {"snowball": snowball_parts, "phoenix": phoenix_parts}


def npv(product, rule, samples_for, spot, r, vol, q, evaluation_date, knocked_in=False):
    """Parts of the value at spot, spot x 1.005 and spot x 0.995, on one simulation.

    ``samples_for(n)`` gives the M x n normal draws.  Returns a list of three part
    dictionaries (see ``_parts``) and the grid.
    """
    g = grid(product, evaluation_date)
    _, dtt, ko_ob_indexes, ki_ob_indexes, coupon = g
    paths, discount = simulate(samples_for(len(dtt)), dtt, r, q, vol)
    parts = [PARTS[rule](paths, s, ki_ob_indexes, ko_ob_indexes, discount, coupon, knocked_in,
                         product.strike, product.ki_barrier, product.ko_barrier)
             for s in (spot, spot * 1.005, spot * 0.995)]
    return parts, g


def delta_gamma(spot, p0, p1, p2):
    return (p1 - p2) / (spot * 0.01), (p1 + p2 - 2 * p0) / (spot * 0.005) ** 2
