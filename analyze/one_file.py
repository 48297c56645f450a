"""The report on one file: each row's median and percentiles, the gaps
between rows, where the ticks go and what each lever moves."""

from __future__ import annotations

from typing import TYPE_CHECKING, NamedTuple, Sequence

import numpy as np

from . import statistics as st
from .estimates import (ONE_MEDIAN_TAIL, TWO_MEDIANS_TAIL, Change, Interval, Reading,
                        change_of, least_for, median_rank)
from .files import FilesReport, files_report, print_files
from .lead import lines
from .noise import Disturbed, disturbed
from .reader import COUNTS, PART_COUNTS, PARTS, Lever, Results
from .tables import NONE, Align, Cell, Column, Kind, Missing, Output, Table

if TYPE_CHECKING:
    from .answer import Answer

# The gaps between rows, the analysis's reading of them: (name, row, row it
# is measured against). Each is the row less the one it is measured
# against, as every table has it. The heap arena's gap is the lever
# program_run/pipe_one_arena, not repeated here.
GAPS = (
    ("first line", "program_run/pipe", "cold_thread_start"),
    ("terminal write", "program_run/tty", "program_run/pipe"),
    ("cold over warm", "cold_thread_start", "warm_create_join"),
)
# The row whose repetitions are split into PARTS, and the row of the real
# program that it stands for.
PARTS_ROW = "program_parts/default"
PROGRAM_ROW = "program_run/pipe"
# The heads of the columns of COUNTS in the tables.
COUNT_HEADS = {"faults": "faults", "major_faults": "major faults", "switches": "switches",
               "involuntary_switches": "involuntary"}
NOT_MEASURED = Missing("not measured in this file")
TOO_FEW = Missing("too few repetitions")
PERCENTILES = [90.0, 99.0]


class RowSummary(NamedTuple):
    row: str
    runs: int
    median: float
    p90: float
    p99: float


class Gap(NamedTuple):
    name: str
    row: str
    base: str
    gap: Reading | None  # None where the file lacks a row


class Part(NamedTuple):
    part: str
    median: Reading
    share: float | None  # of the span's median; None where that is 0
    # The median of each of COUNTS the file has of the part, by its name in
    # COUNTS; empty for the rest and in files written before the counts.
    counts: dict[str, float]


class Instrumentation(NamedTuple):
    """The parts row's span against the real program's ticks."""

    gap: Reading
    change: Change


class Parts(NamedTuple):
    parts: list[Part]
    span: Reading
    instrumentation: Instrumentation | None  # None without PROGRAM_ROW


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


class OneFile(NamedTuple):
    files: FilesReport
    rows: list[RowSummary]
    gaps: list[Gap]
    parts: Parts | None  # None without PARTS_ROW
    levers: list[LeverEffect]
    answer: Answer
    # The levers' effects on the parts' counts, where both rows have them.
    lever_counts: list[LeverEffect]
    # Why the run was disturbed, where it was.
    noise: tuple[Disturbed, ...] = ()
    # The levers' lines on their ticks and counters with a difference: the
    # family whose intervals hold together (the parts' counts' another).
    family: int = 0


def row_summaries(r: Results) -> list[RowSummary]:
    summaries = []
    for row in r.rows:
        values = r.ticks[row]
        p90, p99 = st.percentiles(values, PERCENTILES)
        summaries.append(RowSummary(row, len(values), st.median(values), p90, p99))
    return summaries


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


def gaps_of(r: Results) -> list[Gap]:
    ticks = r.ticks
    return [Gap(name, a, b, gap_of(ticks[a], ticks[b], TWO_MEDIANS_TAIL * r.share(a),
                                   TWO_MEDIANS_TAIL * r.share(b))
                if a in ticks and b in ticks else None)
            for name, a, b in GAPS]


def parts_of(r: Results) -> Parts | None:
    if PARTS_ROW not in r.values:
        return None
    values = r.values[PARTS_ROW]
    total = st.median(values["ticks"])
    tail = ONE_MEDIAN_TAIL * r.share(PARTS_ROW)
    parts = []
    for part in PARTS:
        med = median_of(values[part], tail)
        counts = {count: st.median(values[f"{part}_{count}"]) for count in COUNTS
                  if f"{part}_{count}" in values}
        parts.append(Part(part, med, None if total == 0 else med.value / total, counts))
    span = median_of(values["ticks"], tail)
    instrumentation = None
    if PROGRAM_ROW in r.ticks:
        program = r.ticks[PROGRAM_ROW]
        instrumentation = Instrumentation(
            gap_of(values["ticks"], program, TWO_MEDIANS_TAIL * r.share(PARTS_ROW),
                   TWO_MEDIANS_TAIL * r.share(PROGRAM_ROW)),
            change_of(total, st.median(program)))
    return Parts(parts, span, instrumentation)


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


def count_lines(r: Results) -> list[tuple[Lever, str]]:
    """Each lever on each of the parts' counts that its row and base row
    both have, but a count that neither row ever had (no major fault, as a
    rule): it says nothing."""
    lines = []
    for lever in r.levers:
        base = r.values.get(lever.base, {})
        for counter in PART_COUNTS:
            values = r.values[lever.row].get(counter)
            base_values = base.get(counter)
            if values is not None and base_values is not None and (any(values)
                                                                   or any(base_values)):
                lines.append((lever, counter))
    return lines


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


def lever_count_effects(r: Results) -> list[LeverEffect]:
    """Each lever's effect on each of the parts' counts of count_lines():
    a family of their own, which no verdict reads."""
    lines = count_lines(r)
    tail = family_tail(len(lines))
    return [lever_effect(lever, counter, r.values[lever.row][counter],
                         r.values[lever.base][counter], tail * r.share(lever.row),
                         tail * r.share(lever.base))
            for lever, counter in lines]


def one_file_report(r: Results) -> OneFile:
    from .answer import answer_with

    levers = lever_effects(r)
    return OneFile(files_report([r]), row_summaries(r), gaps_of(r), parts_of(r), levers,
                   answer_with(r, levers), lever_count_effects(r),
                   tuple(disturbed([r], ["[1]"])), family_of(r))


def interval_cell(reading: Reading) -> Cell:
    """A reading's interval, or that its repetitions are too few for one."""
    return TOO_FEW if reading.interval is None else reading.interval


def reading_cells(reading: Reading | None) -> list[Cell]:
    """A reading's value and interval, or that it was not measured."""
    if reading is None:
        return [NONE, NOT_MEASURED]
    return [reading.value, interval_cell(reading)]


def too_few_note(out: Output, family: int) -> None:
    levers = (f", {least_for(TWO_MEDIANS_TAIL / family)} for the levers' {family} together"
              if family > 1 else "")
    out.note(f"too few repetitions: no interval below {least_for(ONE_MEDIAN_TAIL)} "
             f"repetitions for a median, {least_for(TWO_MEDIANS_TAIL)} of each row for a "
             f"difference of two{levers}: the fewest whose least and greatest value bound "
             "the interval of their median (all n fall on one side of it with probability "
             "2^(1-n), 1 in 32 for 6).")


def intervals_note(out: Output) -> None:
    out.note("Intervals from order statistics: a median's is the sorted values at ranks l "
             "and n + 1 - l, l the largest with P(B <= l - 1) <= 2.5 %, B ~ Binomial(n, "
             "1/2), which holds at least 95 % whatever the distribution; a difference of "
             "two medians takes each at 97.5 %.")


def family_note(out: Output, family: int, counts: int) -> None:
    def level(size: int) -> str:
        return f"{1 - (1 - st.CONFIDENCE) / max(1, size):.2%}"

    out.note(f"The levers' {family} intervals on their ticks and counters are one family, "
             f"whose verdicts the answer gives (Bonferroni): each at {level(family)}, so "
             "that the chance of any false change among them is at most 5 %"
             + (f"; the {counts} on the parts' counts another, each at {level(counts)}."
                if counts else "."))


def too_few_anywhere(report: OneFile) -> bool:
    """Whether any interval of the report is left out for too few
    repetitions."""
    readings = ([g.gap for g in report.gaps] + [e.gap for e in report.levers]
                + [e.gap for e in report.lever_counts])
    if report.parts is not None:
        readings += [p.median for p in report.parts.parts] + [report.parts.span]
        if report.parts.instrumentation is not None:
            readings.append(report.parts.instrumentation.gap)
    return any(r is not None and r.interval is None for r in readings)


def levers_in_order(report: OneFile) -> list[LeverEffect]:
    """The levers' effects as the levers table shows them: each lever's on
    its ticks and its counter, then on the parts' counts."""
    ordered = []
    for i, e in enumerate(report.levers):
        ordered.append(e)
        if i + 1 == len(report.levers) or report.levers[i + 1].lever != e.lever:
            ordered += [c for c in report.lever_counts if c.lever == e.lever]
    return ordered


def print_one_file(report: OneFile, out: Output) -> None:
    from .answer import print_answer

    print_answer(report.answer, out)
    lines(out, [f"disturbed: {d.reasons}" for d in report.noise])
    print_files(report.files, out)
    table = Table("rows", "rows: ticks per repetition", [
        Column("row", Align.LEFT), Column("runs", kind=Kind.COUNT),
        Column("median", kind=Kind.TICKS), Column("p90", kind=Kind.TICKS),
        Column("p99", kind=Kind.TICKS)])
    for s in report.rows:
        table.add(s.row, s.runs, s.median, s.p90, s.p99)
    out.table(table)

    table = Table("gaps", f"gaps: each row less the one it is measured against (negative = "
                  f"fewer ticks), difference of medians in ticks, {st.CONFIDENCE_TEXT} "
                  "interval", [
        Column("gap", Align.LEFT), Column("rows", Align.LEFT),
        Column("difference", kind=Kind.TICKS), Column("interval", Align.LEFT, Kind.INTERVAL)])
    for g in report.gaps:
        table.add(g.name, f"{g.row} - {g.base}", *reading_cells(g.gap))
    out.table(table)
    intervals_note(out)

    if report.parts is not None:
        parts = report.parts
        # The counts' columns where the file has any, each part's median.
        # Major faults and involuntary switches only where some part has
        # them: as a rule none occur.
        counted = [c for c in COUNTS if any(c in p.counts for p in parts.parts)
                   and (c in ("faults", "switches") or any(p.counts.get(c) for p in parts.parts))]
        table = Table("parts", f"where the ticks go: {PARTS_ROW}, median of each part in ticks"
                      + (", and of its page faults and context switches" if counted else ""), [
            Column("part", Align.LEFT), Column("median", kind=Kind.TICKS),
            Column("share", kind=Kind.SHARE), Column("interval", Align.LEFT, Kind.INTERVAL)]
            + [Column(COUNT_HEADS[c], kind=Kind.TICKS) for c in counted])
        for p in parts.parts:
            table.add(p.part, p.median.value, NONE if p.share is None else p.share,
                      interval_cell(p.median), *[p.counts.get(c, NONE) for c in counted])
        table.add("ticks (the span)", parts.span.value,
                  1.0 if parts.span.value else NONE, interval_cell(parts.span),
                  *[NONE for _ in counted])
        if parts.instrumentation is not None:
            gap, change = parts.instrumentation
            # Its change, in percent of the program's ticks, in the column
            # of shares.
            table.add(f"instrumentation: ticks - {PROGRAM_ROW}", gap.value, change,
                      interval_cell(gap), *[NONE for _ in counted])
        out.table(table)

    table = Table("levers", "levers: each row less the row it changes (negative = fewer "
                  "ticks), difference of medians in ticks, interval at the family's level", [
                      Column("lever", Align.LEFT), Column("against", Align.LEFT),
                      Column("on", Align.LEFT), Column("difference", kind=Kind.TICKS),
                      Column("change", kind=Kind.CHANGE),
                      Column("interval", Align.LEFT, Kind.INTERVAL)])
    for e in levers_in_order(report):
        if e.gap is None or e.change is None:
            table.add(e.lever.row, e.lever.base, e.counter, NONE, NONE, NOT_MEASURED)
        else:
            table.add(e.lever.row, e.lever.base, e.counter, e.gap.value, e.change,
                      interval_cell(e.gap))
    if table.rows:
        out.table(table)
        family_note(out, report.family, len(report.lever_counts))

    if too_few_anywhere(report):
        too_few_note(out, report.family)
