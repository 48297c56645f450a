"""The report on one file: each row's median and percentiles, the gaps
between rows, where the ticks go and what each lever moves."""

from __future__ import annotations

from typing import NamedTuple

from . import statistics as st
from .answer import Answer, answer_with, print_answer
from .effects import (LeverEffect, family_of, family_tail, gap_of, lever_effect, lever_effects,
                      median_of)
from .estimates import ONE_MEDIAN_TAIL, TWO_MEDIANS_TAIL, Change, Reading, change_of, least_for
from .files import FilesReport, files_report, print_files
from .lead import lines
from .noise import Disturbed, disturbed
from .reader import COUNTS, PART_COUNTS, PARTS, Lever, Results
from .tables import NONE, Align, Cell, Column, Kind, Missing, Output, Table

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
