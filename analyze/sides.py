"""The report on several files: sides of runs compared row by row, with the
run, not the repetition, as the unit."""

from __future__ import annotations

import itertools
import math
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import numpy.typing as npt

from . import statistics as st
from .effects import Verdict, verdict_of
from .estimates import Change, Interval, change_of
from .files import FilesReport, files_report, print_files
from .lead import lines
from .noise import DisturbedOf, disturbed, disturbed_line
from .family import FAMILY_LEVEL, family_cut
from .reader import Group, Results, rows_of
from .tables import NONE, Align, Cell, Column, Kind, Output, Table

if TYPE_CHECKING:
    from .paired import Family as PairedFamily


# A row whose runs show no change is shown run by run, with the load
# average at each, where its interval is wider than this share of side A's
# median: the runs spread too far to tell a change of that size.
WIDE = 0.10


class Side(NamedTuple):
    letter: str
    name: str
    files: list[str]  # the files' numbers, "[1]"
    loads: list[float | None]  # each file's load average over 1 minute, where it has one


class Comparison(NamedTuple):
    """One row on one side against side A. Without runs of the row on
    either side there is no change; where the least p the rank test can
    reach with its runs is above the family's cut, no interval and no
    verdict."""

    value: float | None  # the median of the side's runs' medians
    change: Change | None  # the side less side A, in ticks and in % of side A
    interval: Interval | None  # of the difference, in ticks
    percent: Interval | None  # the same, in % of side A's median; None where that is 0
    verdict: Verdict | None
    p_value: float | None = None  # the rank test's, tie-free
    runs: tuple[int, int] = (0, 0)  # side A's runs and the side's that have the row


class RunMedian(NamedTuple):
    file: str  # "[3]"
    median: float


class ComparedRow(NamedTuple):
    row: str
    base: float | None  # side A's median of its runs' medians
    others: list[Comparison]  # sides B, C, ...
    runs: list[list[RunMedian]]  # each side's runs that have the row
    wide: bool  # no change shown on a side, with an interval wider than WIDE of the base


class Family(NamedTuple):
    """The tests of a comparison read as one: every row of every side
    against side A."""

    rows: int
    sides: int  # the sides compared with side A
    cut: float  # a test differs where its p is at or below this
    splits: int  # the splits of the runs among the sides its cut comes from
    every_split: bool  # every split; else SPLITS_DRAWN drawn and the observed one
    exact: bool  # False where some p came from the normal approximation


class SidesReport(NamedTuple):
    files: FilesReport
    sides: list[Side]
    rows: list[ComparedRow]
    fewest_runs: int
    # The sides with disturbed runs, in the sides' order.
    noise: tuple[DisturbedOf, ...] = ()
    family: Family = Family(0, 0, 0.0, 0, True, True)
    # Runs paired: the family of the paired tests, which then give the verdicts.
    paired: PairedFamily | None = None


# The row of the program's span, which a side's line of the answer gives.
SPAN_ROW = "program_run/pipe"


def groups_of(results: list[Results], explicit: list[Group]) -> list[Group]:
    """The sides to compare, in the order given: the explicit ones, else
    the files of each label, and each file without a label alone."""
    if explicit:
        return explicit
    groups: dict[str, list[Results]] = {}
    for r in results:
        label = r.context.get("label")
        groups.setdefault(str(label) if label else r.path, []).append(r)
    return [Group(name if len(files) > 1 or files[0].context.get("label") else files[0].name,
                  files)
            for name, files in groups.items()]


def side_letter(i: int) -> str:
    return chr(ord("A") + i) if i < 26 else str(i + 1)


def load_of(r: Results) -> float | None:
    """The load average over 1 minute when the run started: the first
    figure of the context entry load_avg."""
    loads = r.context.get("load_avg")
    if isinstance(loads, list) and loads:
        first = loads[0]
        if isinstance(first, (int, float)) and not isinstance(first, bool) \
                and math.isfinite(first):
            return float(first)
    return None


def compare_row(base: list[float], other: list[float], cut: float) -> Comparison:
    """Runs' medians of one row on one side against side A's, the test at
    the family's cut: a verdict where the rank test can reach it."""
    if not other:
        return Comparison(None, None, None, None, None)
    value = st.median(other)
    if not base:
        return Comparison(value, None, None, None, None)
    base_median = st.median(base)
    change = change_of(value, base_median)
    sizes = (len(base), len(other))
    test = st.rank_test(base, other, cut)
    if st.least_p(*sizes) > cut:
        return Comparison(value, change, None, None, None, test.p_value, sizes)
    interval = test.interval
    percent = None if base_median == 0 else Interval(interval.low / base_median * 100,
                                                     interval.high / base_median * 100)
    return Comparison(value, change, interval, percent,
                      verdict_of(interval, test.p_value, cut), test.p_value, sizes)


# The splits of the runs among the sides are each taken up to this many;
# beyond, SPLITS_DRAWN are drawn with SPLITS_SEED, and the observed one added.
EVERY_SPLIT_MOST = 20000
SPLITS_DRAWN = 9999
SPLITS_SEED = 0
# Splits tested at once: bounds the memory of many runs.
SPLITS_AT_ONCE = 1000

Labels = npt.NDArray[np.int64]


def splits_of(sizes: list[int]) -> tuple[Labels, bool]:
    """Splits of the runs (in the sides' order) among sides of these sizes,
    each a row of side numbers, the observed one first; and whether they
    are all of them."""
    observed = np.repeat(np.arange(len(sizes)), sizes)
    count = math.factorial(len(observed))
    for size in sizes:
        count //= math.factorial(size)
    if count > EVERY_SPLIT_MOST:
        rng = np.random.default_rng(SPLITS_SEED)
        drawn = rng.permuted(np.tile(observed, (SPLITS_DRAWN, 1)), axis=1)
        return np.vstack([observed, drawn]), False

    def every(free: tuple[int, ...], side: int) -> list[dict[int, int]]:
        if side == len(sizes) - 1:
            return [{run: side for run in free}]
        found = []
        for chosen in itertools.combinations(free, sizes[side]):
            rest = tuple(run for run in free if run not in chosen)
            for tail in every(rest, side + 1):
                found.append({**{run: side for run in chosen}, **tail})
        return found

    splits = np.array([[split[run] for run in range(len(observed))]
                       for split in every(tuple(range(len(observed))), 0)], dtype=np.int64)
    return splits, True


def split_p_values(medians: st.Floats, splits: Labels, sides: int) -> st.Floats:
    """The rank test's tie-free p of each row of each side after the first
    against the first (splits x rows x sides - 1), in each split of the runs
    (splits x runs, each run's side; medians: runs x rows, NaN where a run
    lacks the row). A row is tested on the runs that have it; U* counts,
    for each run of the side, side A's runs at or below it and at or above
    it, from their places among the row's sorted medians."""
    ps = np.ones((len(splits), medians.shape[1], sides - 1))
    for row in range(medians.shape[1]):
        v = medians[:, row]
        have = np.flatnonzero(np.isfinite(v))
        order = have[np.argsort(v[have], kind="stable")]
        ranked = v[order]
        at_or_below = np.searchsorted(ranked, ranked, "right")
        below = np.searchsorted(ranked, ranked, "left")
        side = splits[:, order]
        in_a = side == 0
        count_a = np.hstack([np.zeros((len(splits), 1), np.int64), np.cumsum(in_a, axis=1)])
        m = in_a.sum(axis=1)
        for k in range(1, sides):
            in_b = side == k
            n = in_b.sum(axis=1)
            u_ge = (count_a[:, at_or_below] * in_b).sum(axis=1)
            u_le = ((m[:, None] - count_a[:, below]) * in_b).sum(axis=1)
            # Ties can take both counts above half the pairs, where p is 1.
            u = np.minimum(np.minimum(u_le, u_ge), m * n // 2)
            for mm, nn in set(zip(m.tolist(), n.tolist())):
                chosen = (m == mm) & (n == nn)
                ps[chosen, row, k - 1] = st.p_table(mm, nn)[u[chosen]]
    return ps


def family_of(medians: st.Floats, sizes: list[int]) -> Family:
    """The family's cut on p: FAMILY_LEVEL of the splits of the runs among
    the sides have their least p at or below it."""
    splits, every_split = splits_of(sizes)
    least = np.concatenate([
        split_p_values(medians, splits[start:start + SPLITS_AT_ONCE], len(sizes))
        .reshape(len(splits[start:start + SPLITS_AT_ONCE]), -1).min(axis=1, initial=1.0)
        for start in range(0, len(splits), SPLITS_AT_ONCE)])
    cut = family_cut(least)
    runs = np.isfinite(medians)
    exact = all(st.is_exact(int(runs[:sizes[0], row].sum()), int(runs[lo:hi, row].sum()))
                for row in range(medians.shape[1])
                for lo, hi in zip(np.cumsum(sizes)[:-1], np.cumsum(sizes)[1:]))
    return Family(medians.shape[1], len(sizes) - 1, cut, len(splits), every_split, exact)


def is_wide(base: float | None, c: Comparison) -> bool:
    """No change shown, where the interval is wider than WIDE of side A's
    median (or infinite, or about a base of 0)."""
    if c.verdict != Verdict.NO_CHANGE or c.interval is None or base is None:
        return False
    return not c.interval.high - c.interval.low <= WIDE * abs(base)


def sides_report(groups: list[Group], paired: bool = False) -> SidesReport:
    everything = [r for g in groups for r in g.files]
    sides = [Side(side_letter(i), g.name, [f"[{everything.index(r) + 1}]" for r in g.files],
                  [load_of(r) for r in g.files])
             for i, g in enumerate(groups)]
    names = rows_of(everything)
    by_run = np.array([[st.median(r.ticks[row]) if row in r.ticks else math.nan
                        for row in names] for r in everything]).reshape(len(everything),
                                                                        len(names))
    family = family_of(by_run, [len(g.files) for g in groups])
    rows = []
    for row in names:
        runs = [[RunMedian(f"[{everything.index(r) + 1}]", st.median(r.ticks[row]))
                 for r in g.files if row in r.ticks] for g in groups]
        medians = [[run.median for run in side] for side in runs]
        base = medians[0]
        base_median = st.median(base) if base else None
        others = [compare_row(base, other, family.cut) for other in medians[1:]]
        rows.append(ComparedRow(row, base_median, others, runs,
                                any(is_wide(base_median, c) for c in others)))
    noise = []
    for side, g in zip(sides, groups):
        found = disturbed(g.files, side.files)
        if found:
            noise.append(DisturbedOf(side.name, len(g.files), tuple(found)))
    report = SidesReport(files_report(everything), sides, rows,
                         min(len(g.files) for g in groups), tuple(noise), family)
    if paired:
        from .paired import paired_report

        report = paired_report(report)
    return report


def unjudged(report: SidesReport) -> list[Comparison]:
    """The tests measured on both sides without a verdict."""
    return [c for r in report.rows for c in r.others
            if c.change is not None and c.verdict is None]


def judged(report: SidesReport) -> bool:
    return any(c.verdict is not None for r in report.rows for c in r.others)


def no_verdict_reason(report: SidesReport) -> str:
    """Why tests have no verdict, of the one nearest a verdict: "3 runs
    against 3: the least p the rank test can reach is 0.1, above the
    family's cut of 0"."""
    left = unjudged(report)
    if not left:
        return ""
    nearest = min(left, key=lambda c: st.least_p(*c.runs))
    m, n = nearest.runs
    return (f"{m} run{'s' if m != 1 else ''} against {n}: the least p the rank test can "
            f"reach is {st.least_p(m, n):.3g}, above the family's cut of {report.family.cut:.3g}")


def family_line(report: SidesReport) -> str:
    """What the family is and how its level is held, in one line."""
    f = report.family
    how = (f"every split of the runs among the sides ({f.splits})" if f.every_split
           else f"{f.splits - 1} random splits of the runs and the observed one")
    return (f"family: {f.rows} row{'s' if f.rows != 1 else ''} x {f.sides} "
            f"side{'s' if f.sides != 1 else ''}; the chance "
            f"of any false `differs` among them is at most {FAMILY_LEVEL:.0%}: a row differs "
            f"where its p is at most {f.cut:.3g}, the {FAMILY_LEVEL:.0%} point of the least p "
            f"over the family in {how}; intervals at that cut; p "
            + ("exact" if f.exact else "from the normal approximation on some rows"))


def percent_text(value: float) -> str:
    return f"{value:+.1f} %"


def change_words(c: Comparison) -> str:
    """A side's change of a row in words: "-16.2 % [-20.1, -12.0]"."""
    if c.change is None:
        return "not measured on both sides"
    if c.change.percent is None:
        return f"{c.change.difference:+.1f} ticks from 0"
    text = percent_text(c.change.percent)
    if c.percent is not None:
        text += f" [{c.percent.low:+.1f}, {c.percent.high:+.1f}]"
    return text


def side_answers(report: SidesReport) -> list[str]:
    """One line a side after the first: the program's span's change from
    the first side, with its interval and verdict, and how many rows
    differ."""
    base = report.sides[0].name
    span = next((r for r in report.rows if r.row == SPAN_ROW), None)
    answers = []
    for i, side in enumerate(report.sides[1:]):
        c = span.others[i] if span is not None else None
        if c is None or c.change is None:
            text = f"{side.name}: the program's span not measured on both sides"
        else:
            verdict = c.verdict.value if c.verdict is not None else "no verdict"
            text = f"{side.name}: the program's span {change_words(c)} than {base}, {verdict}"
        judged = [r.others[i].verdict for r in report.rows if r.others[i].verdict is not None]
        differ = judged.count(Verdict.DIFFERS)
        text += (f"; {differ} of {len(judged)} rows differ" if judged else "; no row judged")
        answers.append(text)
    return answers + [disturbed_line(d.whose, d.disturbed, d.runs) for d in report.noise]


class Gate(NamedTuple):
    """What --fail-if-slower found: the rows slower than their base beyond
    its threshold, and those it could not judge, each "SIDE ROW ..."."""

    slower: list[str]
    unjudged: list[str]


def gate(report: SidesReport, percent: float) -> Gate:
    """The rows of each side that differ from the first side's, slower
    (more ticks), by a change beyond `percent` % of its median; a change
    from a median of 0 is beyond any. Rows without a verdict are not
    judged."""
    slower = []
    unjudged = []
    for r in report.rows:
        for side, c in zip(report.sides[1:], r.others):
            if c.verdict is None or c.change is None:
                unjudged.append(f"{side.name} {r.row}")
            elif (c.verdict == Verdict.DIFFERS and c.change.difference > 0
                  and (c.change.percent is None or c.change.percent > percent)):
                slower.append(f"{side.name} {r.row} {change_words(c)}")
    return Gate(slower, unjudged)


def compare_columns(sides: list[Side]) -> list[Column]:
    """The row, each side's median under the side's name, then for each
    side after the first its difference from side A in ticks, with its
    interval, its change in %, with its interval, and its verdict."""
    columns = [Column("row", Align.LEFT), Column(sides[0].name, kind=Kind.TICKS)]
    for side in sides[1:]:
        columns += [Column(side.name, kind=Kind.TICKS),
                    Column("difference", kind=Kind.TICKS, side=side.name),
                    Column("interval", Align.LEFT, Kind.INTERVAL, side=side.name),
                    Column("change", kind=Kind.CHANGE, side=side.name),
                    Column("change interval", Align.LEFT, Kind.CHANGE_INTERVAL,
                           side=side.name),
                    Column("verdict", Align.LEFT, side=side.name)]
    return columns


def load_cell(load: float | None) -> Cell:
    return NONE if load is None else load


def print_runs(report: SidesReport, rows: list[ComparedRow], out: Output) -> None:
    """Each side's runs of the rows given: each run's median and its load
    average."""
    table = Table("runs", "runs: each run's median in ticks, and the load average over 1 "
                  "minute when it started", [
                      Column("row", Align.LEFT), Column("side", Align.LEFT),
                      Column("file", Align.LEFT), Column("median", kind=Kind.TICKS),
                      Column("load", kind=Kind.TICKS)])
    for compared in rows:
        for side, runs in zip(report.sides, compared.runs):
            for run in runs:
                load = side.loads[side.files.index(run.file)]
                table.add(compared.row, side.name, run.file, run.median, load_cell(load))
    out.table(table)


def print_sides(report: SidesReport, out: Output, runs: bool = False) -> None:
    """The sides, their comparison and, with `runs` or for each row that
    shows no change across a wide spread, each run's median and load."""
    out.lead_with("compare")
    lines(out, side_answers(report), first=True)
    print_files(report.files, out)
    table = Table("sides", "sides", [Column("side", Align.LEFT), Column("name", Align.LEFT),
                                     Column("runs", kind=Kind.COUNT),
                                     Column("files", Align.LEFT)])
    for side in report.sides:
        table.add(side.letter, side.name, len(side.files), " ".join(side.files))
    out.table(table)

    first = report.sides[0].name
    how = ("interval of the paired change, at the family's cut, from the signed-rank test "
           "on the pairs' differences of runs' medians" if report.paired is not None else
           "interval from a rank test on the runs' medians at the family's cut")
    table = Table("compare", "median of the runs' medians in ticks; each side less "
                  f"{first} (negative = fewer ticks), in ticks and in % of {first}'s median, "
                  + how, compare_columns(report.sides))
    for compared in report.rows:
        cells: list[Cell] = [compared.row, NONE if compared.base is None else compared.base]
        for c in compared.others:
            cells += [NONE if c.value is None else c.value,
                      NONE if c.change is None else c.change.difference,
                      NONE if c.interval is None else c.interval,
                      NONE if c.change is None else c.change,
                      NONE if c.percent is None else c.percent,
                      NONE if c.verdict is None else c.verdict.value]
        table.add(*cells)
    out.table(table)
    if report.paired is not None:
        out.note(report.paired.line("The rows", "pairs"))
    else:
        out.note(family_line(report))
        reason = no_verdict_reason(report)
        if reason:
            out.note(("no verdict: " if not judged(report) else
                      f"no verdict on {len(unjudged(report))} rows: ") + reason)
    shown = report.rows if runs else [r for r in report.rows if r.wide]
    if shown:
        print_runs(report, shown, out)
        if not runs:
            out.note(f"Shown run by run: the rows with no change shown whose interval is "
                     f"wider than {WIDE:.0%} of {first}'s median, where the runs spread "
                     "too far to tell such a change; --runs shows every row so.")
