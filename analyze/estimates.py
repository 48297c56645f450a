"""What the statistics give, as plain data: intervals, estimates and
changes. Importing it imports no numpy, so that the tables and the command
line can use it before numpy is known to be there."""

from __future__ import annotations

import functools
import math
from typing import NamedTuple


class Interval(NamedTuple):
    """A confidence interval: low <= high, either may be infinite, both NaN
    where there is none."""

    low: float
    high: float

    def excludes_zero(self) -> bool:
        return self.low > 0 or self.high < 0


class Estimate(NamedTuple):
    """A value, with its interval."""

    value: float
    interval: Interval


# The fewest values whose least and greatest bound a 95 % interval of their
# median: the n values all fall on one side of it with probability
# 2 ** (1 - n), at most 0.05 from 6 on. Below it no interval of a median, or
# of a difference of medians, is given (statistics.least_runs() finds the
# same number from the sign test, with scipy).
LEAST_FOR_INTERVAL = 6


# The chance each tail of a median's interval may miss: one median at 95 %,
# and each of two at 97.5 %, so that an interval of their difference built
# from both holds with at least 95 % (Bonferroni).
ONE_MEDIAN_TAIL = 0.025
TWO_MEDIANS_TAIL = 0.0125


@functools.lru_cache(maxsize=1024)
def median_rank(n: int, tail: float) -> int:
    """The largest rank l with P(B <= l - 1) <= `tail`, B ~ Binomial(n,
    1/2) the number of n values below the true median: values l and
    n + 1 - l of the sorted n bound it with probability at least
    1 - 2 `tail`, whatever the distribution (exactly so for a continuous
    one, more with ties). 0 where n is too few for any. Summed term by term
    in logarithms as the bench's answer does, so that both find the same
    rank."""
    log_half_n = -n * math.log(2.0)
    log_choose = 0.0  # log C(n, k)
    below = 0.0  # P(B <= k)
    rank = 0
    for k in range(n):
        below += math.exp(log_choose + log_half_n)
        if below > tail:
            break
        rank = k + 1
        log_choose += math.log(n - k) - math.log(k + 1)
    return rank


def least_for(tail: float) -> int:
    """The fewest values whose median has an interval at `tail`."""
    n = 1
    while median_rank(n, tail) == 0:
        n += 1
    return n


class Reading(NamedTuple):
    """A value with its interval, or with none (None) where it rests on
    fewer than LEAST_FOR_INTERVAL values."""

    value: float
    interval: Interval | None


def reading_of(estimate: Estimate, fewest: int) -> Reading:
    """The estimate, its interval dropped where the fewest values behind it
    cannot carry one."""
    return Reading(estimate.value,
                   estimate.interval if fewest >= LEAST_FOR_INTERVAL else None)


class Change(NamedTuple):
    """A value against a base: the difference and, unless the base is 0, the
    difference in percent of the base."""

    difference: float
    percent: float | None


def change_of(new: float, base: float) -> Change:
    """The change from `base` to `new`."""
    return Change(new - base, None if base == 0 else (new - base) / base * 100)
