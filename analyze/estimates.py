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


class Change(NamedTuple):
    """A value against a base: the difference and, unless the base is 0, the
    difference in percent of the base."""

    difference: float
    percent: float | None


def change_of(new: float, base: float) -> Change:
    """The change from `base` to `new`."""
    return Change(new - base, None if base == 0 else (new - base) / base * 100)
