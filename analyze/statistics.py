"""The statistics of the analysis: medians, percentiles, bootstrap
intervals of medians and of their differences, and the rank test of runs.

numpy is imported here for every call; scipy only inside the functions
that need it, which only comparisons, fleets and runs of one label call."""

from __future__ import annotations

import functools
import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from .estimates import Estimate, Interval

# The confidence of every interval the analysis gives.
CONFIDENCE = 0.95
# As the tables' titles say it: "95%".
CONFIDENCE_TEXT = f"{CONFIDENCE:.0%}"
# The bootstrap resamples behind each interval.
RESAMPLES = 10000
# Paired intervals resample pairs of repetitions of rows up to this many
# repetitions; larger rows, whose intervals are narrow anyway, are
# resampled unpaired.
PAIRED_MOST = 5000
# Paired resamples drawn at once: bounds the memory of a large row.
PAIRED_BATCH = 250
# Rows are taken relative to their run's load where the run has this many
# at least with a median above 0 ticks.
RELATIVE_ROWS = 3
# A 95 % interval of an estimate that is normally distributed is 2 x 1.96
# = 3.92 of its standard errors wide: an interval's width divided by this
# is the estimate's standard error.
WIDTH_IN_STANDARD_ERRORS = 3.92

Values = npt.ArrayLike
Floats = npt.NDArray[np.float64]


def floats(values: Values) -> Floats:
    return np.asarray(values, dtype=np.float64)


def median(values: Values) -> float:
    return float(np.median(floats(values)))


def percentiles(values: Values, ps: list[float]) -> list[float]:
    """Nearest-rank percentiles, as the bench computes them: the value at
    rank ceil(p / 100 * n)."""
    return [float(v) for v in np.percentile(floats(values), ps, method="inverted_cdf")]


def resampled_medians(values: Values, rng: np.random.Generator) -> Floats:
    """The medians of RESAMPLES bootstrap resamples of `values`, each as
    large as `values`. A resample's k-th smallest value is the sample's
    value at the k-th smallest of n uniform draws, so each median is drawn
    from that order statistic's beta distribution: the same distribution as
    resampling every value, in time and memory that do not grow with the
    sample."""
    x = np.sort(floats(values))
    n = len(x)

    def at(u: Floats) -> Floats:
        """The sample's value at each uniform draw: rank ceil(u * n)."""
        picked: Floats = x[np.clip(np.ceil(u * n).astype(np.int64) - 1, 0, n - 1)]
        return picked

    if n % 2:
        m = (n + 1) // 2
        return at(rng.beta(m, n - m + 1, RESAMPLES))
    m = n // 2
    low = rng.beta(m, n - m + 1, RESAMPLES)
    # The next order statistic: the least of the n - m draws above it.
    high = low + (1 - low) * rng.beta(1, n - m, RESAMPLES)
    result: Floats = (at(low) + at(high)) / 2
    return result


def percentile_interval(draws: Values) -> Interval:
    """The CONFIDENCE percentile interval of bootstrap draws."""
    tail = (1 - CONFIDENCE) / 2 * 100
    low, high = np.percentile(floats(draws), [tail, 100 - tail])
    return Interval(float(low), float(high))


def median_interval(values: Values, seed: int) -> Estimate:
    """The median of `values`, with its bootstrap interval."""
    rng = np.random.default_rng(seed)
    return Estimate(median(values), percentile_interval(resampled_medians(values, rng)))


def median_gap(a: Values, b: Values, seed: int) -> Estimate:
    """The median of a less the median of b, with its bootstrap interval."""
    rng = np.random.default_rng(seed)
    draws = resampled_medians(a, rng) - resampled_medians(b, rng)
    return Estimate(median(a) - median(b), percentile_interval(draws))


def paired_median_gap(a: Values, b: Values, seed: int) -> Estimate:
    """The median of a less the median of b, with a bootstrap interval that
    resamples pairs: the i-th repetition of each row, which ran at about
    the same time of an interleaved run. Rows of unequal or large size are
    resampled unpaired."""
    x, y = floats(a), floats(b)
    if len(x) != len(y) or len(x) > PAIRED_MOST:
        return median_gap(x, y, seed)
    rng = np.random.default_rng(seed)
    draws = []
    for start in range(0, RESAMPLES, PAIRED_BATCH):
        pick = rng.integers(0, len(x), (min(PAIRED_BATCH, RESAMPLES - start), len(x)))
        draws.append(np.median(x[pick], axis=1) - np.median(y[pick], axis=1))
    return Estimate(median(x) - median(y), percentile_interval(np.concatenate(draws)))


def order_interval_ranks(n: int) -> tuple[int, int] | None:
    """The ranks (1-based) of the sorted values that bound a CONFIDENCE
    interval of the median of n values, from the sign test: the median lies
    below the k-th smallest with probability P(Binomial(n, 1/2) < k), so
    the k-th smallest and the k-th largest, for the largest k whose two
    tails together are at most 1 - CONFIDENCE. None where even the least
    and the greatest value are not enough: fewer than least_runs()."""
    from scipy import stats

    k = int(stats.binom.ppf((1 - CONFIDENCE) / 2, n, 0.5))
    # ppf gives the least k with P(X <= k) >= the tail; the interval's rank
    # is the largest with P(X <= k - 1) <= the tail.
    while k > 0 and stats.binom.cdf(k - 1, n, 0.5) > (1 - CONFIDENCE) / 2:
        k -= 1
    while stats.binom.cdf(k, n, 0.5) <= (1 - CONFIDENCE) / 2:
        k += 1
    return (k, n + 1 - k) if k >= 1 else None


def least_runs() -> int:
    """The fewest values whose least and greatest bound a CONFIDENCE
    interval of their median: 6 at 95 %."""
    n = 1
    while order_interval_ranks(n) is None:
        n += 1
    return n


def median_of_runs(values: Values) -> Estimate | None:
    """The median of one value from each run (a run's median, or its
    difference between two rows), with the sign test's interval of it,
    which assumes nothing of how runs vary but that they are independent.
    None with fewer values than least_runs()."""
    x = np.sort(floats(values))
    ranks = order_interval_ranks(len(x))
    if ranks is None:
        return None
    return Estimate(median(x), Interval(float(x[ranks[0] - 1]), float(x[ranks[1] - 1])))


class RankTest(NamedTuple):
    """The rank test of two sets of values: the interval of shifts it does
    not reject at its cut, and its p-value for no shift."""

    interval: Interval
    p_value: float
    exact: bool = True  # False where p and interval come from the normal approximation


# Beyond this many pairs (m x n) the tie-free distribution of U is taken
# from the normal approximation: the exact one costs about half a second
# at 160 values a side, measured on this machine (2 shared cores).
EXACT_PAIRS = 160 * 160


@functools.lru_cache(maxsize=256)
def _exact_u(m: int, n: int) -> Floats:
    """The chance of each U = 0..m n of n values against m without ties:
    P(U = u; i, j) = i / (i + j) P(U = u - j; i - 1, j) + j / (i + j)
    P(U = u; i, j - 1), by whether the greatest value is an a or a b."""
    previous = [np.ones(1) for _ in range(n + 1)]  # i = 0: U = 0
    for i in range(1, m + 1):
        current = [np.ones(1)]
        for j in range(1, n + 1):
            p = np.zeros(i * j + 1)
            p[j:] += i / (i + j) * previous[j]
            p[:len(current[j - 1])] += j / (i + j) * current[j - 1]
            current.append(p)
        previous = current
    return previous[n]


def is_exact(m: int, n: int, method: str = "auto") -> bool:
    """Whether U's distribution for these sizes is exact: "exact" always,
    "asymptotic" never, "auto" up to EXACT_PAIRS pairs."""
    return method == "exact" or (method == "auto" and m * n <= EXACT_PAIRS)


@functools.lru_cache(maxsize=256)
def p_table(m: int, n: int, method: str = "auto") -> Floats:
    """The rank test's two-sided tie-free p-value of each U = 0..m n of n
    values against m: twice the nearer tail, at most 1; exact, or from the
    normal distribution with a continuity correction as scipy's asymptotic
    test gives it."""
    if m == 0 or n == 0:
        return np.ones(m * n + 1)
    if is_exact(m, n, method):
        chance = _exact_u(m, n)
        below = np.cumsum(chance)
        tail = np.minimum(below, below[::-1])
    else:
        from scipy import stats

        u = np.arange(m * n + 1)
        mean, sd = m * n / 2, math.sqrt(m * n * (m + n + 1) / 12)
        tail = stats.norm.sf((np.abs(u - mean) - 0.5) / sd)
    table: Floats = np.minimum(1.0, 2 * tail)
    return table


def least_p(m: int, n: int, method: str = "auto") -> float:
    """The least p-value the rank test can give of n values against m:
    2 / C(m + n, m) where exact."""
    return float(p_table(m, n, method)[0])


def least_runs_a_side(cut: float = 1 - CONFIDENCE) -> int:
    """The fewest values a side with which the rank test can reach p <= cut."""
    k = 1
    while least_p(k, k) > cut:
        k += 1
    return k


# The fewest runs a side whose rank test alone can reach 0.05: 4 (least p
# 2 / 70). A family's cut can ask more.
RUNS_FOR_VERDICT = least_runs_a_side()


def tie_free_p_values(m: int, n: int, us: Values, method: str = "auto") -> Floats:
    """The rank test's two-sided p-value for each U = u of n values against
    m, as for values without ties."""
    p: Floats = p_table(m, n, method)[np.asarray(us, dtype=np.int64)]
    return np.atleast_1d(p)


def tie_free_p_value(m: int, n: int, u: int) -> float:
    """tie_free_p_values() of one U."""
    return float(tie_free_p_values(m, n, [u])[0])


def least_kept_at(m: int, n: int, cut: float, method: str = "auto") -> int:
    """The least U of n values against m whose p-value is above `cut`: a U
    below it is rejected. The p-value rises with U up to its mean."""
    table = p_table(m, n, method)
    return int(np.argmax(table > cut)) if (table > cut).any() else m * n // 2 + 1


def least_kept(m: int, n: int, method: str = "auto") -> int:
    """least_kept_at() at 1 - CONFIDENCE."""
    return least_kept_at(m, n, 1 - CONFIDENCE, method)


def u_star(a: Values, b: Values) -> int:
    """min(#(b_j - a_i <= 0), #(b_j - a_i >= 0)): U with every tie counted
    against a change; at most half the pairs, where p is 1 (ties can take
    both counts above it)."""
    d = np.subtract.outer(floats(b), floats(a))
    return int(min((d <= 0).sum(), (d >= 0).sum(), d.size // 2))


def rank_test(a: Values, b: Values, cut: float = 1 - CONFIDENCE,
              method: str = "auto") -> RankTest:
    """How far b lies above a, from the rank test: p is the tie-free
    p-value of U* (u_star), and the interval the shifts the test keeps at
    `cut`: of the N sorted differences b - a, from the k-th smallest to
    the k-th largest, k the least U whose p-value is above the cut (k = 0:
    unbounded). Both come from one table of p by U, so p <= cut exactly
    where the interval leaves out 0: fewer than k differences lie at or
    below 0 (or at or above it)."""
    x, y = floats(a), floats(b)
    m, n = len(x), len(y)
    exact = is_exact(m, n, method)
    p = float(p_table(m, n, method)[u_star(x, y)])
    k = least_kept_at(m, n, cut, method)
    if k == 0:
        return RankTest(Interval(-math.inf, math.inf), p, exact)
    every = np.sort(np.subtract.outer(y, x).ravel())
    return RankTest(Interval(float(every[k - 1]), float(every[len(every) - k])), p, exact)


def shift_interval(a: Values, b: Values, method: str = "auto") -> RankTest:
    """The rank test of b against a at CONFIDENCE: rank_test() at a cut of
    1 - CONFIDENCE. `method`: "exact", "asymptotic", or "auto": exact up
    to EXACT_PAIRS pairs."""
    return rank_test(a, b, 1 - CONFIDENCE, method)


def spread_of_medians(medians: Values) -> float:
    """The run-to-run spread of some runs' medians: their median absolute
    deviation, scaled to estimate a normal distribution's standard
    deviation; 0 for one run."""
    from scipy import stats

    x = floats(medians)
    return float(stats.median_abs_deviation(x, scale="normal")) if len(x) > 1 else 0.0


def standard_error(estimate: Estimate) -> float:
    """The standard error of an estimate whose interval is normal."""
    return (estimate.interval.high - estimate.interval.low) / WIDTH_IN_STANDARD_ERRORS


def relative_logs(medians: Floats) -> Floats:
    """Run medians (..., runs x rows; NaN where a run lacks the row) relative
    to each run's load, as logarithms: how far each lies above its row's
    median over the runs, less the run's load, the median of that over the
    run's rows. NaN where a median is not above 0, and in every row of a
    run with fewer than RELATIVE_ROWS medians above 0: such a run has no
    load."""
    import warnings

    x = np.asarray(medians, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        # A row or a run of no median above 0 has a median of NaN.
        warnings.simplefilter("ignore", RuntimeWarning)
        logs = np.where(x > 0, np.log(np.where(x > 0, x, 1.0)), np.nan)
        above = logs - np.nanmedian(logs, axis=-2, keepdims=True)
        load = np.nanmedian(above, axis=-1, keepdims=True)
    load[np.isfinite(above).sum(axis=-1, keepdims=True) < RELATIVE_ROWS] = np.nan
    result: Floats = above - load
    return result
