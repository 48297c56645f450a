"""The report on several files: sides of runs compared row by row, with the
run, not the repetition, as the unit."""

from __future__ import annotations

import enum
from typing import NamedTuple

from . import statistics as st
from .estimates import Change, Interval, change_of
from .files import FilesReport, files_report, print_files
from .reader import Group, Results, rows_of
from .statistics import RUNS_FOR_VERDICT
from .tables import NONE, Align, Cell, Column, Kind, Output, Table


class Verdict(enum.Enum):
    DIFFERS = "differs"
    NO_CHANGE = "no change shown"


class Side(NamedTuple):
    letter: str
    name: str
    files: list[str]  # the files' numbers, "[1]"


class Comparison(NamedTuple):
    """One row on one side against side A. Without runs of the row on
    either side there is no change; with fewer than RUNS_FOR_VERDICT runs
    on either, no interval and no verdict."""

    value: float | None  # the median of the side's runs' medians
    change: Change | None
    interval: Interval | None
    verdict: Verdict | None


class ComparedRow(NamedTuple):
    row: str
    base: float | None  # side A's median of its runs' medians
    others: list[Comparison]  # sides B, C, ...


class SidesReport(NamedTuple):
    files: FilesReport
    sides: list[Side]
    rows: list[ComparedRow]
    fewest_runs: int


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


def compare_row(base: list[float], other: list[float]) -> Comparison:
    """Runs' medians of one row on one side against side A's."""
    if not other:
        return Comparison(None, None, None, None)
    value = st.median(other)
    if not base:
        return Comparison(value, None, None, None)
    change = change_of(value, st.median(base))
    if min(len(base), len(other)) < RUNS_FOR_VERDICT:
        return Comparison(value, change, None, None)
    interval = st.shift_interval(base, other).interval
    return Comparison(value, change, interval,
                      Verdict.DIFFERS if interval.excludes_zero() else Verdict.NO_CHANGE)


def sides_report(groups: list[Group]) -> SidesReport:
    everything = [r for g in groups for r in g.files]
    sides = [Side(side_letter(i), g.name, [f"[{everything.index(r) + 1}]" for r in g.files])
             for i, g in enumerate(groups)]
    rows = []
    for row in rows_of(everything):
        medians = [[st.median(r.ticks[row]) for r in g.files if row in r.ticks] for g in groups]
        base = medians[0]
        rows.append(ComparedRow(row, st.median(base) if base else None,
                                [compare_row(base, other) for other in medians[1:]]))
    return SidesReport(files_report(everything), sides, rows,
                       min(len(g.files) for g in groups))


def compare_columns(sides: list[Side]) -> list[Column]:
    columns = [Column("row", Align.LEFT), Column(sides[0].letter, kind=Kind.TICKS)]
    for side in sides[1:]:
        columns += [Column(side.letter, kind=Kind.TICKS),
                    Column("change", kind=Kind.CHANGE, side=side.letter),
                    Column("interval", kind=Kind.INTERVAL, side=side.letter),
                    Column("verdict", Align.LEFT, side=side.letter)]
    return columns


def print_sides(report: SidesReport, out: Output) -> None:
    print_files(report.files, out)
    table = Table("sides", "sides", [Column("side", Align.LEFT), Column("name", Align.LEFT),
                                     Column("runs", kind=Kind.COUNT),
                                     Column("files", Align.LEFT)])
    for side in report.sides:
        table.add(side.letter, side.name, len(side.files), " ".join(side.files))
    out.table(table)

    table = Table("compare", "median of the runs' medians in ticks; change against side A, "
                  f"{st.CONFIDENCE_TEXT} interval of the difference from a rank test on the "
                  "runs' medians",
                  compare_columns(report.sides))
    for compared in report.rows:
        cells: list[Cell] = [compared.row, NONE if compared.base is None else compared.base]
        for c in compared.others:
            cells += [NONE if c.value is None else c.value,
                      NONE if c.change is None else c.change,
                      NONE if c.interval is None else c.interval,
                      NONE if c.verdict is None else c.verdict.value]
        table.add(*cells)
    out.table(table)
    fewest = report.fewest_runs
    if fewest < RUNS_FOR_VERDICT:
        out.note(f"no verdict: a side has {fewest} run{'s' if fewest != 1 else ''}; a verdict "
                 f"needs at least {RUNS_FOR_VERDICT} runs a side, as runs differ from each other "
                 f"more than repetitions within one run do")
