"""What the reports share, below all of them: a run's medians and their
differences with intervals from order statistics, each lever's effect at
the family's level, and the verdict a test gives of a change."""

from __future__ import annotations

import enum
from typing import NamedTuple, Sequence

import numpy as np

from . import statistics as st
from .estimates import (ONE_MEDIAN_TAIL, TWO_MEDIANS_TAIL, Change, Interval, Reading,
                        change_of, median_rank)
from .reader import Lever, Results


class Verdict(str, enum.Enum):
    """What a test says of a change, its value as the tables print it (a
    str, so that it compares equal to the printed word)."""

    DIFFERS = "differs"
    NO_CHANGE = "no change shown"


def verdict_of(interval: Interval | None, p: float | None = None,
               cut: float = 0.0) -> Verdict | None:
    """The verdict of a test: none without its interval; where it has a
    p-value at a family's cut (its interval at that cut), `differs` where
    the p is at or below the cut; otherwise where its interval excludes 0."""
    if interval is None:
        return None
    differs = p <= cut if p is not None else interval.excludes_zero()
    return Verdict.DIFFERS if differs else Verdict.NO_CHANGE


class LeverEffect(NamedTuple):
    """A lever's effect on one counter: the difference of medians from its
    base row, with its interval at the family's level; None where the file
    lacks the base row or its counter."""

    lever: Lever
    counter: str
    gap: Reading | None
    change: Change | None
    # The intervals of the row's median and of the base's that the gap's is
    # built from, at the family's tail; None where the repetitions are too
    # few.
    ends: tuple[Interval, Interval] | None = None


def median_bounds(values: st.Values, tail: float = ONE_MEDIAN_TAIL) -> Interval | None:
    """The interval of the median from order statistics: the sorted values
    at ranks l and n + 1 - l, l = median_rank(n, tail); None where the
    values are too few for one."""
    x = np.sort(st.floats(values))
    rank = median_rank(len(x), tail)
    return None if rank == 0 else Interval(float(x[rank - 1]), float(x[len(x) - rank]))


def median_of(values: st.Values, tail: float = ONE_MEDIAN_TAIL) -> Reading:
    """The median, with its interval where the repetitions carry one."""
    return Reading(st.median(values), median_bounds(values, tail))


def gap_ends(a: st.Values, b: st.Values, tail: float = TWO_MEDIANS_TAIL,
             tail_b: float | None = None) -> tuple[Interval, Interval] | None:
    """The intervals of the medians of a and of b, each at `tail`, or b's
    at `tail_b` where given."""
    of_a, of_b = median_bounds(a, tail), median_bounds(b, tail if tail_b is None else tail_b)
    return None if of_a is None or of_b is None else (of_a, of_b)


def gap_of(a: st.Values, b: st.Values, tail: float = TWO_MEDIANS_TAIL,
           tail_b: float | None = None) -> Reading:
    """The median of a less that of b, with the interval [low a - high b,
    high a - low b] of the medians' intervals, each at `tail` (97.5 %, so
    that both hold at once with 95 %), where both have the repetitions to
    carry one."""
    ends = gap_ends(a, b, tail, tail_b)
    return Reading(st.median(a) - st.median(b), None if ends is None else
                   Interval(ends[0].low - ends[1].high, ends[0].high - ends[1].low))


def lever_effect(lever: Lever, counter: str, values: Sequence[float],
                 base_values: Sequence[float], tail: float,
                 tail_base: float | None = None) -> LeverEffect:
    """A lever's row less its base on one counter: the difference of
    medians, with its interval from the medians' each at `tail` (the
    base's at `tail_base` where given), and the change."""
    return LeverEffect(lever, counter, gap_of(values, base_values, tail, tail_base),
                       change_of(st.median(values), st.median(base_values)),
                       gap_ends(values, base_values, tail, tail_base))


def lever_lines(r: Results) -> list[tuple[Lever, str]]:
    """Each lever of the file on its ticks and, where it acts on another
    counter, on that counter too."""
    return [(lever, counter) for lever in r.levers
            for counter in ["ticks"] + ([lever.counter] if lever.counter != "ticks" else [])]


def family_of(r: Results) -> int:
    """The levers' lines with a difference on their ticks and counters, as
    the answer gives their verdicts (and the bench's answer too): one
    family, whose intervals hold together."""
    return sum(lever.base in r.values and counter in r.values[lever.base]
               for lever, counter in lever_lines(r))


def family_tail(size: int) -> float:
    """The tail of each median behind the interval of a family's lines:
    the levels of its k intervals, 1 - 5 % / k each, add up to 95 %
    (Bonferroni)."""
    return TWO_MEDIANS_TAIL / max(1, size)


def lever_effects(r: Results) -> list[LeverEffect]:
    """Each lever of the file on its ticks and, where it acts on another
    counter, on that counter too, at the family's level."""
    tail = family_tail(family_of(r))
    effects = []
    for lever, counter in lever_lines(r):
        values = r.values[lever.row][counter]
        base_values = r.values.get(lever.base, {}).get(counter)
        effects.append(LeverEffect(lever, counter, None, None) if base_values is None
                       else lever_effect(lever, counter, values, base_values,
                                         tail * r.share(lever.row), tail * r.share(lever.base)))
    return effects
