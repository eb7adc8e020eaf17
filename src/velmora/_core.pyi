"""Types of velmora's compiled core (the nanobind module ``velmora._core``)."""

from collections.abc import Sequence
from typing import Any, TypeAlias

# A CPU array read in place through DLPack or the buffer protocol: a numpy array or a
# torch tensor (2-D float32/float64 for draws and paths; 1-D float64 or int64 otherwise).
Array: TypeAlias = Any
# (spot, coupon_total, loss_total): the scenario's value is (coupon + loss) / paths.
Scenario: TypeAlias = tuple[float, float, float]
# (step_years, ko_columns, ki_columns, coupons, spots, r, q, vol, knocked_in); with
# ``standard_errors`` ("none", "paths" or "antithetic_pairs" per group) each result also
# holds the standard error of each spot's value.
ScenarioGroup: TypeAlias = tuple[Array, Array, Array, Array, Array, float, float, float, bool]

# A market that varies by day and spot, per scenario: (rate per day, yield per day, the
# days that start each row of the vol table, the table's lowest log spot, its log-spot
# step, its nodes per row, the local vols row by row).
LocalMarket: TypeAlias = tuple[Sequence[float], Sequence[float], Sequence[int], float, float,
                               int, Sequence[float]]

PATH_BLOCK: int

def simulate(
    draws: Array,
    step_years: Array,
    ko_columns: Array,
    ki_columns: Array,
    coupons: Array,
    spots: Array,
    *,
    r: float,
    q: float,
    vol: float,
    strike: float,
    ki_barrier: float,
    ko_barrier: float,
    rule: str,
    knocked_in: bool,
    threads: int,
) -> tuple[int, list[Scenario]]: ...
def simulate_groups(
    draws: Array,
    groups: Sequence[ScenarioGroup],
    *,
    strike: float,
    ki_barrier: float,
    ko_barrier: float,
    rule: str,
    threads: int,
    standard_errors: Sequence[str] = ...,
) -> list[tuple[int, list[Scenario]] | tuple[int, list[Scenario], list[float]]]: ...
def simulate_local(
    draws: Array,
    step_years: Array,
    column_days: Sequence[int],
    ko_columns: Array,
    ki_columns: Array,
    coupons: Array,
    spots: Array,
    market: LocalMarket,
    *,
    strike: float,
    ki_barrier: float,
    ko_barrier: float,
    rule: str,
    knocked_in: bool,
    threads: int,
) -> list[float]: ...
def value_paths(
    paths: Array,
    ko_columns: Array,
    ki_columns: Array,
    discount: Array,
    coupons: Array,
    spots: Array,
    *,
    strike: float,
    ki_barrier: float,
    ko_barrier: float,
    rule: str,
    knocked_in: bool,
    threads: int,
) -> tuple[int, list[Scenario]]: ...
def simd_levels() -> list[str]: ...
def simd_level() -> str: ...
def set_simd_level(name: str) -> None: ...
def pde_barrier(
    *,
    call: bool,
    strike: float,
    kind: str,
    level: float,
    rebate: float,
    american: bool,
    exercise_from: float,
    maturity: float,
    spot: float,
    rate: float,
    dividend: float,
    vol: float,
    steps_per_sd: int = 0,
    time_steps: int = 0,
    tolerance: float = 0.001,
    times: Sequence[float] = ...,
    int_rate: Sequence[float] = ...,
    int_dividend: Sequence[float] = ...,
    int_variance: Sequence[float] = ...,
) -> float: ...
def pde_vanilla(
    *,
    call: bool,
    strike: float,
    american: bool,
    exercise_from: float,
    maturity: float,
    spot: float,
    rate: float,
    dividend: float,
    vol: float,
    steps_per_sd: int = 0,
    time_steps: int = 0,
    tolerance: float = 0.001,
) -> float: ...
def pde_grid(
    *,
    call: bool,
    strike: float,
    american: bool,
    exercise_from: float,
    maturity: float,
    spot: float,
    rate: float,
    dividend: float,
    vol: float,
    tolerance: float = 0.001,
) -> tuple[int, int]: ...
def autocall_pde(
    column_days: Sequence[int],
    ko_columns: Sequence[int],
    ki_columns: Sequence[int],
    coupons: Sequence[float],
    spots: Sequence[float],
    scenarios: Sequence[tuple[float, float, float]],
    readings: Sequence[tuple[int, bool]],
    *,
    strike: float,
    ki_barrier: float,
    ko_barrier: float,
    rule: str,
    space_per_day_sd: float = 0,
    steps_per_interval: int = 0,
    markets: Sequence[LocalMarket] = ...,
) -> tuple[list[float], float, float, int, tuple[float, int]]: ...

# The result of ``asian_arithmetic``: value, standard_error, control_value, beta (floats),
# paths, replicates (ints), capped, exact (bools).
AsianResult: TypeAlias = dict[str, float | int | bool]

def asian_arithmetic(
    *,
    call: bool,
    strike: float,
    maturity: float,
    fixing_times: Array,
    known_count: int,
    known_sum: float,
    known_log_sum: float,
    spot: float,
    rate: float,
    dividend: float,
    vol: float,
    target_se: float,
    max_paths: int,
    replicates: int = 0,
    seed: int = 42,
    threads: int = 1,
    points: int = 256,
    min_replicates: int = 8,
    sobol: bool = True,
    log_forward: Sequence[float] = ...,
    variance: Sequence[float] = ...,
    discount_factor: float = ...,
) -> AsianResult: ...
def asian_geometric(
    *,
    call: bool,
    strike: float,
    maturity: float,
    fixing_times: Array,
    known_count: int,
    known_sum: float,
    known_log_sum: float,
    spot: float,
    rate: float,
    dividend: float,
    vol: float,
    log_forward: Sequence[float] = ...,
    variance: Sequence[float] = ...,
    discount_factor: float = ...,
) -> float: ...
