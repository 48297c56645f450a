"""The report on several runs of one label (or of one --group): each row's
median of the runs' medians, and each lever's effect, with the run as the
unit. A lever's effect in one run is the median of its row less the median
of its base row in that run; across runs, the median of those differences,
with the sign test's interval of it: a lever is confirmed where the runs
agree, not where one run's repetitions do."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, NamedTuple

from . import statistics as st
from .effects import Verdict, verdict_of
from .estimates import Change, Interval
from .files import FilesReport, files_report, print_files
from .lead import lines
from .noise import Disturbed, disturbed, disturbed_line
from .reader import PART_COUNTS, Group, Lever, Results, rows_of
from .tables import NONE, Align, Cell, Column, Kind, Missing, Output, Table

if TYPE_CHECKING:
    from .answer import Answer
    from .paired import Family


class RowOfRuns(NamedTuple):
    """One row across the runs that have it."""

    row: str
    runs: int
    median: float  # the median of the runs' medians
    interval: Interval | None  # from the runs; None with fewer than least_runs()


class LeverOfRuns(NamedTuple):
    """One lever on one counter across the runs. `differences` has one
    entry a run, in the files' order: the lever's row's median less its
    base row's, None where the run lacks either."""

    lever: Lever
    counter: str
    differences: list[float | None]
    median: float | None  # of the differences; None where no run has both rows
    change: Change | None  # the median in percent of the base's median of medians
    interval: Interval | None  # at the family's cut; None with fewer differences than least_runs()
    verdict: Verdict | None

    @property
    def runs(self) -> int:
        return sum(d is not None for d in self.differences)

    @property
    def down(self) -> int:
        return sum(d is not None and d < 0 for d in self.differences)

    @property
    def up(self) -> int:
        return sum(d is not None and d > 0 for d in self.differences)


class LabelRuns(NamedTuple):
    files: FilesReport
    name: str  # the label, or the group's name
    runs: int
    least_runs: int  # the fewest runs that give an interval
    rows: list[RowOfRuns]
    levers: list[LeverOfRuns]
    answer: Answer  # what the user came for, first
    noise: tuple[Disturbed, ...] = ()  # the disturbed runs
    family: Family | None = None  # the levers' lines judged together, from least_runs


def levers_of(results: list[Results]) -> list[Lever]:
    """The levers of all the runs, each once, in the order they come."""
    levers: list[Lever] = []
    for r in results:
        levers += [lever for lever in r.levers if lever not in levers]
    return levers


def counters_of_lever(lever: Lever, results: list[Results]) -> list[str]:
    """What a lever is compared on across runs: its ticks, the counter it
    acts on, then the parts' counts that its two rows have in any run."""
    counters = ["ticks"] + ([lever.counter] if lever.counter != "ticks" else [])
    # A count that no run of either row ever had (as a rule, major faults)
    # is left out.
    return counters + [c for c in PART_COUNTS
                       if any(c in r.values.get(lever.row, {}) and c in r.values.get(lever.base, {})
                              for r in results)
                       and any(any(r.values.get(row, {}).get(c, ()))
                               for r in results for row in (lever.row, lever.base))]


def row_of_runs(row: str, medians: list[float]) -> RowOfRuns:
    estimate = st.median_of_runs(medians)
    return RowOfRuns(row, len(medians), st.median(medians),
                     None if estimate is None else estimate.interval)


def lever_of_runs(lever: Lever, counter: str, results: list[Results]) -> LeverOfRuns:
    """A lever's effect on `counter` in each run, and across them."""
    differences: list[float | None] = []
    base_medians = []
    for r in results:
        values = r.values.get(lever.row, {}).get(counter)
        base = r.values.get(lever.base, {}).get(counter)
        if values is None or base is None:
            differences.append(None)
            continue
        base_medians.append(st.median(base))
        differences.append(st.median(values) - base_medians[-1])
    present = [d for d in differences if d is not None]
    if not present:
        return LeverOfRuns(lever, counter, differences, None, None, None, None)
    med = st.median(present)
    base_median = st.median(base_medians)
    change = Change(med, None if base_median == 0 else med / base_median * 100)
    return LeverOfRuns(lever, counter, differences, med, change, None, None)


def judged(levers: list[LeverOfRuns], least: int) -> tuple[list[LeverOfRuns], Family | None]:
    """The lines of at least `least` runs judged as one family by the sign
    test, whole runs' signs flipped together: each line's interval at the
    family's cut, and `differs` where its p is at or below it."""
    from .paired import family

    tested = [i for i, e in enumerate(levers) if e.runs >= least]
    if not tested:
        return levers, None
    found = family([[math.nan if d is None else d
                     for d in (levers[i].differences[r] for i in tested)]
                    for r in range(len(levers[0].differences))], walsh=False)
    levers = list(levers)
    for i, test in zip(tested, found.tests):
        assert test is not None
        levers[i] = levers[i]._replace(
            interval=test.interval,
            verdict=verdict_of(test.interval, test.p, found.cut))
    return levers, found


def label_runs_report(group: Group) -> LabelRuns:
    from .answer import answer_of_runs

    results = group.files
    rows = [row_of_runs(row, [st.median(r.ticks[row]) for r in results if row in r.ticks])
            for row in rows_of(results)]
    least = st.least_runs()
    levers, family = judged([lever_of_runs(lever, counter, results)
                             for lever in levers_of(results)
                             for counter in counters_of_lever(lever, results)], least)
    return LabelRuns(files_report(results), group.name, len(results), least,
                     rows, levers, answer_of_runs(results),
                     tuple(disturbed(results, [f"[{i}]" for i in range(1, len(results) + 1)])),
                     family)


def why_no_interval(runs: int, least: int) -> str:
    """Why fewer than `least` runs give no interval, with the sums."""
    held = 1 - 2 * 0.5 ** runs
    return (f"no interval and no verdict: {runs} run{'s' if runs != 1 else ''}; an interval "
            f"from runs needs at least {least}, as the least and the greatest of {runs} runs "
            f"hold their median only {held:.0%} of the time, short of "
            f"{st.CONFIDENCE_TEXT}")


def print_label_runs(report: LabelRuns, out: Output) -> None:
    from .answer import print_answer

    print_answer(report.answer, out)
    if report.noise:
        lines(out, [disturbed_line("", report.noise, report.runs)])
    print_files(report.files, out)
    few = report.runs < report.least_runs
    no_interval = Missing(f"fewer than {report.least_runs} runs")

    table = Table("rows_runs", f"{report.name}: {report.runs} runs, median of the runs' medians in "
                  f"ticks, {st.CONFIDENCE_TEXT} interval from the runs (sign test)", [
                      Column("row", Align.LEFT), Column("runs", kind=Kind.COUNT),
                      Column("median", kind=Kind.TICKS),
                      Column("interval", Align.LEFT, Kind.INTERVAL)])
    for row in report.rows:
        table.add(row.row, row.runs, row.median,
                  no_interval if row.interval is None else row.interval)
    out.table(table)

    if not report.levers:
        return
    columns = [Column("lever", Align.LEFT), Column("against", Align.LEFT),
               Column("on", Align.LEFT)]
    if few:
        # Each run's own difference, under its file's number.
        columns += [Column(f.number, kind=Kind.TICKS) for f in report.files.files]
    else:
        columns += [Column("runs", kind=Kind.COUNT), Column("down", kind=Kind.COUNT),
                    Column("up", kind=Kind.COUNT)]
    columns += [Column("median", kind=Kind.TICKS), Column("change", kind=Kind.CHANGE)]
    if not few:
        columns += [Column("interval", Align.LEFT, Kind.INTERVAL),
                    Column("verdict", Align.LEFT)]
    table = Table("levers_runs", "levers across runs: each row less the row it changes, the "
                  "median of the runs' differences of medians in ticks"
                  + ("" if few else ", interval at the family's cut from the runs (sign "
                                    "test)"), columns)
    for e in report.levers:
        cells: list[Cell] = [e.lever.row, e.lever.base, e.counter]
        if few:
            cells += [NONE if d is None else d for d in e.differences]
        else:
            cells += [e.runs, e.down, e.up]
        cells += [NONE if e.median is None else e.median, NONE if e.change is None else e.change]
        if not few:
            cells += [no_interval if e.interval is None else e.interval,
                      NONE if e.verdict is None else e.verdict.value]
        table.add(*cells)
    out.table(table)
    if few:
        out.note(why_no_interval(report.runs, report.least_runs))
    else:
        if report.family is not None:
            out.note(report.family.line("The lines of at least "
                                        f"{report.least_runs} runs"))
        out.note("Each run gives one difference, the lever's row's median less its base row's "
                 "in that run (negative: the lever saves ticks); down and up count the runs "
                 "that moved each way. The interval is that of the median of the runs' "
                 "differences, the run as the unit, at the family's cut: `differs` only where "
                 "so many runs moved the same way that the whole family's chance of a false "
                 "`differs` stays within 5 %.")
