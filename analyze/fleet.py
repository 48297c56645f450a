"""The report on a fleet: one line per host, each row's median of run
medians and run-to-run spread, and the hosts that stand out, with the
context entries in which they differ from the rest.

A host stands out on a row when the mean of its runs' medians lies
further from the mean of the other hosts' than the run-to-run spread of
the whole fleet explains: a t test of the one against the rest, the
spread pooled over every host's runs about its own mean, at a level of
FALSE_ALARMS shared among every host and row (Bonferroni). The host that
lies furthest is tested first; once it is marked it is left out of the
rest that the next is tested against, so that with three hosts an outlier
does not drag the other two's mean towards itself. The run is the unit:
a host's repetitions make one median, its runs the spread.

A busy machine makes every row of a run slower alike, by far more than a
host's own cost of one row moves. So each row is tested twice: as ticks
(a host slower or faster on the row), and relative to the run's load (a
host on which the row costs more than the run's other rows say it
should). A run's load is the median over its rows of how far each row's
median lies above the fleet's median of that row, in logarithms: one row
that differs does not move it. A row found only so is marked
"(relative)". Every test counts in the share of FALSE_ALARMS."""

from __future__ import annotations

import json
import math
from typing import NamedTuple, Sequence

import numpy as np

from . import statistics as st
from .files import CONTEXT_ALWAYS_DIFFERS
from .reader import Group, Results, rows_of
from .tables import Align, Column, Kind, Output, Spread, Table

# The share of fleets of identical hosts in which any host may be marked.
FALSE_ALARMS = 0.05
# Outliers are looked for among this many hosts at least: the host and two
# others to tell what is typical.
HOSTS_FOR_OUTLIERS = 3
# Each host needs this many runs at least: its spread is part of the
# fleet's.
RUNS_FOR_OUTLIERS = 2
# Rows are tested relative to the run's load where a run has this many at
# least: the median of them is then not moved by any one row.
RELATIVE_ROWS = 3
# How a row found only relative to the run's other rows is marked.
RELATIVE = " (relative)"
# The seed of the interval of each run's median.
RUN_SEED = 0
# Context entries that name the host, and so differ between any two.
CONTEXT_OF_HOST = ("label", "host_name")
# The context entry of the load average, whose first figure is shown.
LOAD = "load_avg"
# The most values of the other hosts listed for one entry.
OTHERS_SHOWN = 3


class Host(NamedTuple):
    name: str
    runs: int
    values: list[Spread]  # one a row
    outlying: list[str]  # the rows on which it stands out


class LeftOut(NamedTuple):
    """A row that some hosts did not measure, and so no column."""

    row: str
    hosts: list[str]  # those that lack it


class Cause(NamedTuple):
    """A context entry in which a host that stands out differs from the
    rest: its value against theirs."""

    host: str
    entry: str
    value: str
    others: str


class FleetReport(NamedTuple):
    rows: list[str]  # those that every host measured
    hosts: list[Host]
    left_out: list[LeftOut]
    # Why no host can be marked, or "".
    no_verdict: str
    # Rows that some host's files lack, which no host is marked on.
    unjudged: list[str]
    causes: list[Cause]


def hosts_of(results: list[Results]) -> list[Group]:
    """The files of each host: by label, else by host name."""
    hosts: dict[str, list[Results]] = {}
    for r in results:
        host = r.context.get("label") or r.context.get("host_name", "?")
        hosts.setdefault(str(host), []).append(r)
    return [Group(name, files) for name, files in hosts.items()]


def host_value(runs: list[st.Values]) -> Spread:
    """The median of some runs' medians of one row, and their spread: the
    run-to-run spread, but at least the spread that a run's own repetitions
    give its median, so that a few runs that happen to agree set no bar of
    0."""
    medians = [st.median(ticks) for ticks in runs]
    within = st.median([st.standard_error(st.median_interval(ticks, RUN_SEED))
                        for ticks in runs])
    return Spread(st.median(medians), max(st.spread_of_medians(medians), within))


def outlying_hosts(medians: Sequence[st.Values], tests: int) -> list[int]:
    """The hosts that stand out on one row, by number, the furthest first:
    `medians` holds each host's run medians, `tests` the number of hosts
    times rows among which the level FALSE_ALARMS is shared. Needs
    HOSTS_FOR_OUTLIERS hosts of RUNS_FOR_OUTLIERS runs each."""
    from scipy import stats

    runs = [st.floats(m) for m in medians]
    if len(runs) < HOSTS_FOR_OUTLIERS or min(len(x) for x in runs) < RUNS_FOR_OUTLIERS:
        raise ValueError("too few hosts or runs for outliers")
    counts = [len(x) for x in runs]
    sums = [float(x.sum()) for x in runs]
    means = [s / n for s, n in zip(sums, counts)]
    freedom = sum(counts) - len(runs)
    spread = math.sqrt(sum(float(((x - m) ** 2).sum()) for x, m in zip(runs, means)) / freedom)
    limit = float(stats.t.ppf(1 - FALSE_ALARMS / (2 * tests), freedom))
    rest = list(range(len(runs)))
    outlying: list[int] = []
    while len(rest) >= HOSTS_FOR_OUTLIERS:
        def gap(h: int) -> float:
            """How far the host lies from the rest, in units of the spread."""
            n = sum(counts[i] for i in rest if i != h)
            apart = means[h] - sum(sums[i] for i in rest if i != h) / n
            return abs(apart) / math.sqrt(1 / counts[h] + 1 / n)

        furthest = max(rest, key=gap)
        apart = gap(furthest)
        if apart == 0 or (spread > 0 and apart / spread <= limit):
            break
        outlying.append(furthest)
        rest.remove(furthest)
    return outlying


def relative(runs: Sequence[st.Floats]) -> list[st.Floats] | None:
    """Each host's run medians (runs x rows) relative to each run's load,
    as logarithms: how far each lies above the fleet's median of its row,
    less the median of that over the run's rows. None where there are too
    few rows, or a median of no ticks."""
    if runs[0].shape[1] < RELATIVE_ROWS or not all((x > 0).all() for x in runs):
        return None
    logs = [np.log(x) for x in runs]
    typical = np.median(np.concatenate(logs), axis=0)
    above = [x - typical for x in logs]
    return [x - np.median(x, axis=1, keepdims=True) for x in above]


def marked_rows(runs: Sequence[st.Floats], rows: Sequence[str]) -> list[list[str]]:
    """The rows on which each host stands out: `runs` holds each host's
    run medians, runs x rows. Needs HOSTS_FOR_OUTLIERS hosts of
    RUNS_FOR_OUTLIERS runs each."""
    shares = relative(runs)
    kinds = [list(runs)] + ([shares] if shares is not None else [])
    tests = len(runs) * len(rows) * len(kinds)
    marked: list[list[str]] = [[] for _ in runs]
    for j, row in enumerate(rows):
        found: set[int] = set()
        for k, values in enumerate(kinds):
            for h in outlying_hosts([x[:, j] for x in values], tests):
                if h not in found:
                    marked[h].append(row + (RELATIVE if k else ""))
                    found.add(h)
    return marked


def no_verdict(groups: list[Group]) -> str:
    """Why no host can be marked, or "" where the fleet is large enough."""
    if len(groups) < HOSTS_FOR_OUTLIERS:
        return (f"no verdict: {len(groups)} host{'s' if len(groups) != 1 else ''}; "
                f"outliers need {HOSTS_FOR_OUTLIERS} hosts at least")
    few = [g.name for g in groups if len(g.files) < RUNS_FOR_OUTLIERS]
    if few:
        return (f"no verdict: {', '.join(few)} with fewer than {RUNS_FOR_OUTLIERS} runs; "
                f"outliers need {RUNS_FOR_OUTLIERS} runs a host at least")
    return ""


def entry_text(value: object) -> str:
    return "-" if value is None else str(value)


def first_load(r: Results) -> float | None:
    """The first figure (the last minute's) of a file's load average."""
    load = r.context.get(LOAD)
    if isinstance(load, list) and load and isinstance(load[0], (int, float)) \
            and not isinstance(load[0], bool):
        return float(load[0])
    return None


def causes_of(host: Group, others: list[Group]) -> list[Cause]:
    """The context entries in which a host's files have none of the values
    of the other hosts' files, and its load average against theirs."""
    theirs = [r for g in others for r in g.files]
    keys = sorted({k for r in host.files for k in r.context}
                  | {k for r in theirs for k in r.context})
    causes = []
    for key in keys:
        if key in CONTEXT_ALWAYS_DIFFERS or key in CONTEXT_OF_HOST:
            continue
        own = {json.dumps(r.context.get(key), sort_keys=True): r.context.get(key)
               for r in host.files}
        other = {json.dumps(r.context.get(key), sort_keys=True): r.context.get(key)
                 for r in theirs}
        if own.keys() & other.keys():
            continue
        listed = sorted(entry_text(v) for v in other.values())
        more = len(listed) - OTHERS_SHOWN
        causes.append(Cause(host.name, key, ", ".join(sorted(entry_text(v) for v in own.values())),
                            ", ".join(listed[:OTHERS_SHOWN])
                            + (f" and {more} more" if more > 0 else "")))
    own_load = [x for x in map(first_load, host.files) if x is not None]
    their_load = [x for x in map(first_load, theirs) if x is not None]
    if own_load and their_load:
        causes.append(Cause(host.name, f"{LOAD} (1 min)",
                            f"{st.median(own_load):.2f} (median of {len(own_load)})",
                            f"{min(their_load):.2f} to {max(their_load):.2f}"))
    return causes


def fleet_report(groups: list[Group]) -> FleetReport:
    everything = [r for g in groups for r in g.files]
    rows = []
    left_out = []
    for row in rows_of(everything):
        lacking = [g.name for g in groups if not any(row in r.ticks for r in g.files)]
        if lacking:
            left_out.append(LeftOut(row, lacking))
        else:
            rows.append(row)
    values = [[host_value([r.ticks[row] for r in g.files if row in r.ticks]) for row in rows]
              for g in groups]
    why = no_verdict(groups)
    judged = [row for row in rows if all(row in r.ticks for r in everything)]
    outlying = ([[] for _ in groups] if why else marked_rows(
        [np.array([[st.median(r.ticks[row]) for row in judged] for r in g.files])
         for g in groups], judged))
    causes = [c for i, g in enumerate(groups) if outlying[i]
              for c in causes_of(g, [o for o in groups if o is not g])]
    return FleetReport(rows, [Host(g.name, len(g.files), values[i], outlying[i])
                              for i, g in enumerate(groups)], left_out, why,
                        [row for row in rows if row not in judged], causes)


def print_fleet(report: FleetReport, out: Output) -> None:
    table = Table("fleet", "fleet: median of the runs' medians in ticks, +- run-to-run spread",
                  [Column("host", Align.LEFT), Column("runs", kind=Kind.COUNT)]
                  + [Column(row, kind=Kind.SPREAD) for row in report.rows]
                  + [Column("verdict", Align.LEFT)])
    for host in report.hosts:
        table.add(host.name, host.runs, *host.values,
                  ("outlier: " + ", ".join(host.outlying)) if host.outlying else "")
    out.table(table)
    for left in report.left_out:
        out.note(f"{left.row} left out: not measured on {', '.join(left.hosts)}")
    if report.no_verdict:
        out.note(report.no_verdict)
    elif report.unjudged:
        out.note(f"no verdict on {', '.join(report.unjudged)}: not measured in every file")
    if report.causes:
        causes = Table("causes", "where the outliers differ from the other hosts",
                       [Column("host", Align.LEFT), Column("entry", Align.LEFT),
                        Column("its value", Align.LEFT), Column("the others'", Align.LEFT)])
        for cause in report.causes:
            causes.add(*cause)
        out.table(causes)
