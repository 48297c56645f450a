"""The answer first: what a cold and a warm thread start, the first line
and the whole program cost here, and what each lever changes, in a few
lines. Of one run with the repetition as the unit; of several runs of one
label with the run as the unit."""

from __future__ import annotations

from typing import NamedTuple

from . import statistics as st
from .effects import LeverEffect, Verdict, gap_of, lever_effects, median_of, verdict_of
from .estimates import ONE_MEDIAN_TAIL, TWO_MEDIANS_TAIL, Interval, Reading, change_of
from .reader import PROCESS_CPU, WALL, Results
from .tables import NONE, Align, Cell, Column, Kind, Missing, Output, Table


class FigureOf(NamedTuple):
    """What a figure is measured from: the median of `counter` of `row`,
    less that of `less`'s ticks where there is one; its unit."""

    name: str
    row: str
    less: str | None
    counter: str
    unit: str


TICKS = "ticks"
# The figures in the order shown, as the bench's answer has them.
FIGURES = (
    FigureOf("cold thread start", "cold_thread_start", None, "ticks", TICKS),
    FigureOf("warm thread start", "warm_create_join", None, "ticks", "ticks per thread"),
    FigureOf("first line", "program_run/pipe", "cold_thread_start", "ticks", TICKS),
    FigureOf("the program's span", "program_run/pipe", None, "ticks", TICKS),
    FigureOf("the program's process CPU", "program_run/pipe", None, PROCESS_CPU, "µs"),
    FigureOf("the program's wall time", "program_run/pipe", None, WALL, "µs"),
)


class Figure(NamedTuple):
    name: str
    source: str  # "program_run/pipe - cold_thread_start", "program_run/pipe wall"
    unit: str
    reading: Reading | None  # None where the files lack its rows or counter


class LeverAnswer(NamedTuple):
    """A lever's change of its counter, in percent of its base row's
    median, with its interval in percent and the verdict that interval
    gives; no change where not measured (or the base is 0), no interval
    and no verdict where the repetitions or runs are too few."""

    row: str
    base: str
    counter: str
    change: Reading | None
    verdict: Verdict | None
    # Why the change has no interval but too few repetitions: the base's
    # interval reaches 0, so the ratio has no bound.
    missing: str = ""


# The change's interval where the base's reaches 0 or below, as the bench
# says it.
NO_BOUND = "no interval: the base's reaches 0"
# The verdicts a lever can have, by the names the answer has long given them.
DIFFERS, NO_CHANGE = Verdict.DIFFERS, Verdict.NO_CHANGE


class Answer(NamedTuple):
    runs: int  # 1: one run, its repetitions the unit; more: the run the unit
    figures: list[Figure]
    levers: list[LeverAnswer]
    rounds: str = ""  # of one run made in rounds, how many


def lever_verdict(change: Reading | None) -> Verdict | None:
    return None if change is None else verdict_of(change.interval)


def ratio_interval(ends: tuple[Interval, Interval]) -> Interval | None:
    """The interval of (median(a) / median(base) - 1) * 100 from the two
    medians' intervals: the least and greatest ratio of their ends; None
    where the base's reaches 0, as a ratio to it has no bound."""
    a, base = ends
    if base.low <= 0:
        return None
    least = a.low / (base.high if a.low >= 0 else base.low)
    most = a.high / (base.low if a.high >= 0 else base.high)
    return Interval((least - 1) * 100, (most - 1) * 100)


def source_of(f: FigureOf) -> str:
    if f.less is not None:
        return f"{f.row} - {f.less}"
    return f.row if f.counter == "ticks" else f"{f.row} {f.counter}"


def measured(r: Results, f: FigureOf) -> bool:
    return f.counter in r.values.get(f.row, {}) and (f.less is None or f.less in r.values)


def run_figure(r: Results, f: FigureOf) -> float:
    """One run's figure: the median of its repetitions, or a difference of
    two medians."""
    value = st.median(r.values[f.row][f.counter])
    return value - st.median(r.ticks[f.less]) if f.less is not None else value


def answer_with(r: Results, effects: list[LeverEffect]) -> Answer:
    """One run's answer, its levers' effects as the one-file report has
    them, so that both show the same intervals."""
    figures = []
    for f in FIGURES:
        reading = None
        if measured(r, f):
            values = r.values[f.row][f.counter]
            reading = (median_of(values, ONE_MEDIAN_TAIL * r.share(f.row)) if f.less is None
                       else gap_of(values, r.ticks[f.less], TWO_MEDIANS_TAIL * r.share(f.row),
                                   TWO_MEDIANS_TAIL * r.share(f.less)))
        figures.append(Figure(f.name, source_of(f), f.unit, reading))
    levers = []
    for e in effects:
        change, missing = None, ""
        if e.gap is not None:
            base = st.median(r.values[e.lever.base][e.counter])
            if base != 0:
                interval = None if e.ends is None else ratio_interval(e.ends)
                missing = NO_BOUND if e.ends is not None and interval is None else ""
                change = Reading(e.gap.value / base * 100, interval)
        # The ratio's verdict is the difference's, where it has one.
        levers.append(LeverAnswer(e.lever.row, e.lever.base, e.counter, change,
                                  lever_verdict(change), missing))
    return Answer(1, figures, levers, str(r.context.get("rounds", "")) if r.shares else "")


def answer_of_run(r: Results) -> Answer:
    """One run's answer: each figure's median over its repetitions, with
    its order-statistic interval; each lever's change with its interval at
    the family's level."""
    return answer_with(r, lever_effects(r))


def of_runs(values: list[float]) -> Reading | None:
    """The median of one value a run, with its sign-test interval where
    the runs are enough for one; None without a value."""
    if not values:
        return None
    estimate = st.median_of_runs(values)
    return Reading(st.median(values), None if estimate is None else estimate.interval)


def answer_of_runs(results: list[Results]) -> Answer:
    """Several runs of one label: each figure the median over the runs of
    each run's figure, each lever's change the median of each run's change
    in percent, with intervals from the runs (the run the unit)."""
    figures = [Figure(f.name, source_of(f), f.unit,
                      of_runs([run_figure(r, f) for r in results if measured(r, f)]))
               for f in FIGURES]
    # The levers of all the runs, each once, in the order first met.
    keys: list[tuple[str, str, str]] = []
    for r in results:
        for lever in r.levers:
            for counter in ["ticks"] + ([lever.counter] if lever.counter != "ticks" else []):
                if (lever.row, lever.base, counter) not in keys:
                    keys.append((lever.row, lever.base, counter))
    levers = []
    for row, base, counter in keys:
        changes = []
        for r in results:
            if counter in r.values.get(row, {}) and counter in r.values.get(base, {}):
                percent = change_of(st.median(r.values[row][counter]),
                                    st.median(r.values[base][counter])).percent
                if percent is not None:
                    changes.append(percent)
        change = of_runs(changes)
        levers.append(LeverAnswer(row, base, counter, change, lever_verdict(change)))
    return Answer(len(results), figures, levers)


def print_answer(answer: Answer, out: Output) -> None:
    one = answer.runs == 1
    too_few = Missing("too few repetitions" if one else "too few runs")
    if one:
        title = (f"the answer: median and {st.CONFIDENCE_TEXT} interval over this run's "
                 "repetitions; ticks are clock(3) ticks, µs of processor time")
        if answer.rounds:
            title += (f"; made in {answer.rounds} round{'' if answer.rounds == '1' else 's'}, each interval spends a share of its "
                      "error at each round, so that it holds whenever the bench stopped")
    else:
        title = (f"the answer: median over {answer.runs} runs of each run's figure, "
                 f"{st.CONFIDENCE_TEXT} sign-test interval with the run as the unit; ticks "
                 "are clock(3) ticks, µs of processor time")
    table = Table("answer", title, [
        Column("figure", Align.LEFT), Column("from", Align.LEFT),
        Column("value", kind=Kind.TICKS), Column("interval", Align.LEFT, Kind.INTERVAL),
        Column("unit", Align.LEFT), Column("verdict", Align.LEFT)])
    blank = Missing("")
    for f in answer.figures:
        if f.reading is None:
            table.add(f.name, f.source, NONE, Missing("not measured"), f.unit, blank)
        else:
            table.add(f.name, f.source, f.reading.value,
                      too_few if f.reading.interval is None else f.reading.interval,
                      f.unit, blank)
    for lever in answer.levers:
        on = "" if lever.counter == "ticks" else f" on {lever.counter}"
        cells: list[Cell]
        if lever.change is None:
            cells = [NONE, Missing("not measured")]
        else:
            cells = [lever.change.value, lever.change.interval
                     if lever.change.interval is not None else
                     Missing(lever.missing) if lever.missing else too_few]
        table.add(f"lever{on}", f"{lever.row} - {lever.base}", *cells, "%",
                  blank if lever.verdict is None else lever.verdict.value)
    out.table(table)
    if answer.levers:
        if one:
            out.note("A lever's change is in percent of the row it is measured against, "
                     "negative for fewer ticks; it differs where its interval excludes 0, "
                     "the intervals at the family's level of the levers' table, so that the "
                     "chance of any false change among them is at most 5 %. The levers describe this run alone, under its conditions: confirm one "
                     "across several runs before relying on it.")
        else:
            out.note("A lever's change is in percent of the row it is measured against, "
                     f"negative for fewer ticks: each run's change, the median over "
                     f"{answer.runs} runs; it differs where its interval from the runs "
                     "excludes 0.")
