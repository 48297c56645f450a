"""Paired tests, the run as the unit: runs made alternately (A B A B ...)
paired by order, each pair giving one difference, so that a drift between
runs made one after another moves both sides of a pair alike.

Two tests, built alike: the signed-rank test on the Walsh averages
(d_i + d_j) / 2, i <= j, and the sign test on the differences themselves.
Of the N averages, T_le are at or below 0 and T_ge at or above; the p-value
is the tie-free two-sided one of min(T_le, T_ge), so that ties (and zero
differences) count against a change. The interval at a cut c runs from the
k-th smallest average to the k-th largest, k the least count whose p-value
is above c: p <= c exactly where the interval leaves out 0.

Several tests on the same runs (rows, levers and counters) are one family:
every sign of each whole run's differences is equally likely under the
null, and flipping a run's differences on every test together keeps their
correlation. family_cut() of the least p-value in each sign pattern is the
cut of the family."""

from __future__ import annotations

import functools
import math
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import numpy.typing as npt

from . import statistics as st
from .effects import Verdict, verdict_of
from .errors import Unusable
from .estimates import Interval
from .family import family_cut
from .reader import Group, Results

if TYPE_CHECKING:
    from .sides import SidesReport

# Sign patterns enumerated up to this many; beyond, DRAWN of them are drawn
# with SEED, and the observed one is added.
ENUMERATED_MOST = 20000
DRAWN = 9999
SEED = 20261209
# The signed-rank distribution is computed exactly up to this many
# differences (well within a second); beyond, the normal approximation.
EXACT_MOST = 400
# Averages of flipped differences held at once: bounds the memory, some
# 100 MB, of many pairs' Walsh averages.
BATCH = 1 << 22


@functools.lru_cache(maxsize=256)
def p_table(n: int, walsh: bool) -> tuple[st.Floats, bool]:
    """The tie-free two-sided p-value of each count 0..N of n differences
    (N = n (n + 1) / 2 Walsh averages, or n for the sign test), and whether
    it is exact."""
    from scipy import stats

    if not walsh:
        counts = np.arange(n + 1)
        return np.minimum(1.0, 2 * stats.binom.cdf(counts, n, 0.5)), True
    total = n * (n + 1) // 2
    if n > EXACT_MOST:
        mean, sd = total / 2, math.sqrt(n * (n + 1) * (2 * n + 1) / 24)
        z = (np.arange(total + 1) - mean + 0.5) / sd
        return np.minimum(1.0, 2 * stats.norm.cdf(z)), False
    # The chance of each sum of ranks, adding one rank at a time.
    chance = np.zeros(total + 1)
    chance[0] = 1.0
    for rank in range(1, n + 1):
        chance[rank:] = (chance[rank:] + chance[:-rank]) / 2
        chance[:rank] /= 2
    return np.minimum(1.0, 2 * np.cumsum(chance)), True


def least_kept(n: int, cut: float, walsh: bool) -> int:
    """The least count whose p-value is above `cut`: the rank of the
    interval's bounds; 0 where every count's is (an unbounded interval)."""
    return int(np.argmax(p_table(n, walsh)[0] > cut))


def averages(d: st.Floats, walsh: bool) -> st.Floats:
    """The Walsh averages of each row of d (..., n), or d itself."""
    if not walsh:
        return d
    i, j = np.triu_indices(d.shape[-1])
    result: st.Floats = (d[..., i] + d[..., j]) / 2
    return result


def least_count(d: st.Floats, walsh: bool) -> st.Floats:
    """min(T_le, T_ge) of each row of d (..., n)."""
    w = averages(d, walsh)
    result: st.Floats = np.minimum((w <= 0).sum(axis=-1), (w >= 0).sum(axis=-1))
    return result


class Paired(NamedTuple):
    """One test of the family: its p-value and its interval at the cut."""

    p: float
    interval: Interval

    def differs(self, cut: float) -> bool:
        return verdict_of(self.interval, self.p, cut) == Verdict.DIFFERS


def test_at(differences: st.Values, cut: float, walsh: bool = True) -> Paired | None:
    """The test of some differences, its interval at `cut`."""
    d = st.floats(differences)
    d = d[~np.isnan(d)]
    n = len(d)
    if n == 0:
        return None
    table, _ = p_table(n, walsh)
    p = float(table[int(least_count(d, walsh))])
    k = least_kept(n, cut, walsh)
    if k == 0:
        return Paired(p, Interval(-math.inf, math.inf))
    w = np.sort(averages(d, walsh))
    return Paired(p, Interval(float(w[k - 1]), float(w[len(w) - k])))


class Family(NamedTuple):
    """The tests of the columns of a matrix of differences, run by run,
    controlled together by sign flips of whole runs."""

    tests: list[Paired | None]  # each column's, at the cut
    cut: float  # a test differs where its p is at or below this
    patterns: int  # the sign patterns counted, the observed among them
    enumerated: bool  # every pattern, or a draw
    exact: bool  # every p-value from the exact distribution

    def line(self, what: str, unit: str = "runs") -> str:
        """The line under a table that names the family."""
        if self.cut == 0:
            return (f"{what} are one family, and too few {unit} for any `differs` in it: no p "
                    f"they can reach holds the chance of any false one within "
                    f"{1 - st.CONFIDENCE:.0%}")
        how = (f"all {self.patterns} signs of the {unit}' differences" if self.enumerated
               else f"{self.patterns} signs of the {unit}' differences, drawn")
        text = (f"{what} are one family: the chance of any false `differs` in it is at "
                f"most {1 - st.CONFIDENCE:.0%}, from {how}, whole {unit} flipped together "
                f"(a test differs at p <= {self.cut:.3g}, its interval at that cut)")
        if not self.exact:
            text += f"; p-values from the normal approximation above {EXACT_MOST} {unit}"
        return text


Bools = npt.NDArray[np.bool_]


def flipped_counts(signs: st.Floats, d: st.Floats) -> st.Floats:
    """min(T_le, T_ge) of the Walsh averages of d with each row of signs
    (patterns x n): the same as least_count(signs * d, True), in time
    that does not grow with the n (n + 1) / 2 averages of each pattern.
    An average of two flipped differences lies at or below 0 by the
    differences' sizes and signs alone: two of size a_i, a_j are at or
    below 0 when both are negative, when one is negative and at least as
    large, or when both are 0; so T_le is a sum of products of the
    patterns' sign indicators with fixed matrices, over i <= j."""
    a = np.abs(d)
    up = np.triu(np.ones((len(d), len(d)), dtype=bool))
    i, j = a[:, None], a[None, :]
    both_zero = (i + j) == 0
    plus = (signs * d >= 0).astype(np.float64)  # a run's difference +a after the flip
    minus = 1 - plus

    def count(pp: Bools, pm: Bools, mp: Bools, mm: Bools) -> st.Floats:
        total = np.zeros(len(signs))
        for x, y, m in ((plus, plus, pp), (plus, minus, pm), (minus, plus, mp),
                        (minus, minus, mm)):
            total += ((x @ (m & up).astype(np.float64)) * y).sum(axis=1)
        return total

    le = count(both_zero, i <= j, j <= i, np.ones_like(up))
    ge = count(np.ones_like(up), i >= j, j >= i, both_zero)
    result: st.Floats = np.rint(np.minimum(le, ge))
    return result


def patterns_of(runs: int) -> tuple[st.Floats, bool]:
    """The sign patterns of `runs` runs, the observed (all +1) first."""
    if 2 ** runs <= ENUMERATED_MOST:
        every = (np.arange(2 ** runs)[:, None] >> np.arange(runs)) & 1
        return 1 - 2 * every.astype(np.float64), True
    rng = np.random.default_rng(SEED)
    drawn = rng.choice([-1.0, 1.0], size=(DRAWN, runs))
    return np.vstack([np.ones((1, runs)), drawn]), False


def family(differences: st.Values, walsh: bool = True) -> Family:
    """The family of the columns of `differences` (runs x tests; NaN where
    a run lacks a test)."""
    d = np.atleast_2d(st.floats(differences))
    runs, columns = d.shape
    signs, enumerated = patterns_of(runs)
    least = np.ones(len(signs))
    exact = True
    for c in range(columns):
        present = ~np.isnan(d[:, c])
        n = int(present.sum())
        if n == 0:
            continue
        table, is_exact = p_table(n, walsh)
        exact = exact and is_exact
        values = d[present, c]
        step = max(1, BATCH // (n * n if walsh else n))
        for start in range(0, len(signs), step):
            some = signs[start:start + step][:, present]
            counts = (flipped_counts(some, values) if walsh
                      else least_count(some * values, walsh))
            p = table[counts.astype(np.int64)]
            least[start:start + step] = np.minimum(least[start:start + step], p)
    cut = family_cut(least)
    return Family([test_at(d[:, c], cut, walsh) for c in range(columns)], cut, len(signs),
                  enumerated, exact)


def in_order_made(files: list[Results]) -> list[Results]:
    """A side's runs in the order they were made: by their dates, where
    every run has one that can be read; else in the order given."""
    from datetime import datetime

    dates = []
    for r in files:
        try:
            dates.append(datetime.fromisoformat(str(r.context.get("date"))))
        except ValueError:
            return files
    if any(d.tzinfo is None for d in dates) and any(d.tzinfo is not None for d in dates):
        return files
    order = sorted(range(len(files)), key=lambda i: dates[i])
    return [files[i] for i in order]


def paired_groups(groups: list[Group]) -> list[Group]:
    """Two sides of as many runs, each in the order made, the i-th run of
    each a pair; or Unusable, saying why they cannot be paired."""
    if len(groups) != 2:
        raise Unusable(f"--paired: {len(groups)} sides; runs are paired between two sides")
    a, b = groups
    if len(a.files) != len(b.files):
        raise Unusable(f"--paired: {a.name} has {len(a.files)} runs and {b.name} "
                       f"{len(b.files)}; runs made alternately pair one to one")
    return [Group(g.name, in_order_made(g.files)) for g in groups]


def paired_report(report: SidesReport) -> SidesReport:
    """Two sides' rows judged by the signed-rank test on the pairs'
    differences of runs' medians, the rows one family by sign flips of
    whole pairs."""
    first, second = report.sides
    matrix = []
    for row in report.rows:
        a = {run.file: run.median for run in row.runs[0]}
        b = {run.file: run.median for run in row.runs[1]}
        matrix.append([b[fb] - a[fa] if fa in a and fb in b else math.nan
                       for fa, fb in zip(first.files, second.files)])
    found = family(np.array(matrix).T.reshape(len(first.files), len(report.rows)))
    rows = []
    for row, test in zip(report.rows, found.tests):
        c = row.others[0]
        if test is not None and c.change is not None:
            base, ends = row.base or 0.0, test.interval
            c = c._replace(interval=ends, p_value=test.p,
                           verdict=verdict_of(ends, test.p, found.cut),
                           percent=None if base == 0 else Interval(ends.low / base * 100,
                                                                   ends.high / base * 100))
        else:
            c = c._replace(interval=None, percent=None, verdict=None)
        rows.append(row._replace(others=[c]))
    return report._replace(rows=rows, paired=found)
