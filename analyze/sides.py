"""The report on several files: sides of runs compared row by row, with the
run, not the repetition, as the unit."""

from __future__ import annotations

import enum
import math
from typing import TYPE_CHECKING, NamedTuple

from . import statistics as st
from .estimates import Change, Interval, change_of
from .files import FilesReport, files_report, print_files
from .lead import lines
from .noise import DisturbedOf, disturbed, disturbed_line
from .reader import Group, Results, rows_of
from .statistics import RUNS_FOR_VERDICT
from .tables import NONE, Align, Cell, Column, Kind, Output, Table

if TYPE_CHECKING:
    from .paired import Family


class Verdict(enum.Enum):
    DIFFERS = "differs"
    NO_CHANGE = "no change shown"


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
    either side there is no change; with fewer than RUNS_FOR_VERDICT runs
    on either, no interval and no verdict."""

    value: float | None  # the median of the side's runs' medians
    change: Change | None  # the side less side A, in ticks and in % of side A
    interval: Interval | None  # of the difference, in ticks
    percent: Interval | None  # the same, in % of side A's median; None where that is 0
    verdict: Verdict | None


class RunMedian(NamedTuple):
    file: str  # "[3]"
    median: float


class ComparedRow(NamedTuple):
    row: str
    base: float | None  # side A's median of its runs' medians
    others: list[Comparison]  # sides B, C, ...
    runs: list[list[RunMedian]]  # each side's runs that have the row
    wide: bool  # no change shown on a side, with an interval wider than WIDE of the base


class SidesReport(NamedTuple):
    files: FilesReport
    sides: list[Side]
    rows: list[ComparedRow]
    fewest_runs: int
    # The sides with disturbed runs, in the sides' order.
    noise: tuple[DisturbedOf, ...] = ()
    # Runs paired: the family of the paired tests.
    paired: Family | None = None


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


def compare_row(base: list[float], other: list[float]) -> Comparison:
    """Runs' medians of one row on one side against side A's."""
    if not other:
        return Comparison(None, None, None, None, None)
    value = st.median(other)
    if not base:
        return Comparison(value, None, None, None, None)
    base_median = st.median(base)
    change = change_of(value, base_median)
    if min(len(base), len(other)) < RUNS_FOR_VERDICT:
        return Comparison(value, change, None, None, None)
    interval = st.shift_interval(base, other).interval
    percent = None if base_median == 0 else Interval(interval.low / base_median * 100,
                                                     interval.high / base_median * 100)
    return Comparison(value, change, interval, percent,
                      Verdict.DIFFERS if interval.excludes_zero() else Verdict.NO_CHANGE)


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
    rows = []
    for row in rows_of(everything):
        runs = [[RunMedian(f"[{everything.index(r) + 1}]", st.median(r.ticks[row]))
                 for r in g.files if row in r.ticks] for g in groups]
        medians = [[run.median for run in side] for side in runs]
        base = medians[0]
        base_median = st.median(base) if base else None
        others = [compare_row(base, other) for other in medians[1:]]
        rows.append(ComparedRow(row, base_median, others, runs,
                                any(is_wide(base_median, c) for c in others)))
    noise = []
    for side, g in zip(sides, groups):
        found = disturbed(g.files, side.files)
        if found:
            noise.append(DisturbedOf(side.name, len(g.files), tuple(found)))
    report = SidesReport(files_report(everything), sides, rows,
                         min(len(g.files) for g in groups), tuple(noise))
    if paired:
        from .paired import paired_report

        report = paired_report(report)
    return report


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
            verdict = (c.verdict.value if c.verdict is not None
                       else f"no verdict below {RUNS_FOR_VERDICT} runs a side")
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
           f"{st.CONFIDENCE_TEXT} interval from a rank test on the runs' medians")
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
    fewest = report.fewest_runs
    if fewest < RUNS_FOR_VERDICT and report.paired is None:
        out.note(f"no verdict: a side has {fewest} run{'s' if fewest != 1 else ''}; a verdict "
                 f"needs at least {RUNS_FOR_VERDICT} runs a side, as runs differ from each other "
                 f"more than repetitions within one run do")
    shown = report.rows if runs else [r for r in report.rows if r.wide]
    if shown:
        print_runs(report, shown, out)
        if not runs:
            out.note(f"Shown run by run: the rows with no change shown whose interval is "
                     f"wider than {WIDE:.0%} of {first}'s median, where the runs spread "
                     "too far to tell such a change; --runs shows every row so.")
