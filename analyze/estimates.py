"""What the statistics give, as plain data: intervals, estimates and
changes. Importing it imports no numpy, so that the tables and the command
line can use it before numpy is known to be there."""

from __future__ import annotations

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
