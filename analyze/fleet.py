"""The report on a fleet: one line per host, each row's median of run
medians and run-to-run spread, and the hosts that stand out, with the
context entries in which they differ from the rest.

A host stands out on a row when the mean of its runs' medians lies
further from the mean of the other hosts' than the runs, dealt to the
hosts anew, would put it by chance: the gap of each host on each row, in
units of its standard error (the spread pooled over every host's runs
about its own mean), and the largest of them against the largest of a
thousand dealings of the same runs to hosts of the same sizes. Where no
host differs, every dealing is as likely as the observed one, so a fleet
of identical hosts has any host marked in at most FALSE_ALARMS of fleets,
for any number of hosts and rows and whatever the runs' distribution. The
host that lies furthest is tested first; once it is marked it is left out
and the rest tested again, so that with three hosts an outlier does not
make the other two look apart. The run is the unit: a host's repetitions
make one median, its runs the spread.

A busy machine makes every row of a run slower alike, by far more than a
host's own cost of one row moves. So each row is tested twice: as ticks
(a host slower or faster on the row), and relative to the run's load (a
host on which the row costs more than the run's other rows say it
should). A run's load is the median over its rows of how far each row's
median lies above the fleet's median of that row, in logarithms: one row
that differs does not move it. A row found only so is marked
"(relative)". Both kinds are in the one test, and so in its level."""

from __future__ import annotations

import hashlib
import json
import math
import os
from typing import NamedTuple, Sequence

import numpy as np
import numpy.typing as npt

from . import statistics as st
from .estimates import ONE_MEDIAN_TAIL, median_rank
from .files import CONTEXT_ALWAYS_DIFFERS
from .lead import lines
from .noise import DisturbedOf, disturbed, disturbed_line
from .reader import Group, Results, merged_rows
from .tables import Align, Column, Kind, Output, Spread, Table

# The share of fleets of identical hosts in which any host may be marked.
FALSE_ALARMS = 0.05
# Outliers are looked for among this many hosts at least: the host and two
# others to tell what is typical.
HOSTS_FOR_OUTLIERS = 3
# Each host needs this many runs at least: its spread is part of the
# fleet's.
RUNS_FOR_OUTLIERS = 2
# The dealings of the runs to the hosts that the observed one is held
# against, and how many are made at once: PERMUTATION_BATCH, fewer where
# they would hold more than DEALT_VALUES values (runs x columns each), so
# that memory does not grow with the runs. The dealings are the same
# whatever their batches. Smaller batches are slower: arrays of a few MB,
# each freed, have their pages given back and faulted in again, batch by
# batch (at 4 MB, five times slower).
PERMUTATIONS = 999
PERMUTATION_BATCH = 100
DEALT_VALUES = 1 << 22
# Gaps closer than this are one: sums of the same values in another order
# differ in their last bits.
TIES = 1e-9
# Rows are tested relative to the run's load where a run has this many at
# least: the median of them is then not moved by any one row.
RELATIVE_ROWS = st.RELATIVE_ROWS
# How a row found only relative to the run's other rows is marked.
RELATIVE = " (relative)"
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
    # The hosts with disturbed runs, each run named by its file name (or
    # path, where file names repeat).
    noise: tuple[DisturbedOf, ...] = ()


class Run(NamedTuple):
    """What the fleet reads of a run: no repetition, only a few numbers a
    row, so that a store's runs by the thousand take little memory."""

    path: str
    context: dict[str, object]
    # The rows in the bench's order.
    rows: tuple[str, ...]
    # Each row's median of ticks.
    medians: dict[str, float]
    # The standard error of each row's median, from its repetitions.
    errors: dict[str, float]


class RunsOf(NamedTuple):
    """A host of the fleet: its name and its runs."""

    name: str
    files: list[Run]


def host_of(context: dict[str, object]) -> str:
    """A run's host: its label, else its host name."""
    return str(context.get("label") or context.get("host_name", "?"))


def hosts_of(results: list[Results]) -> list[Group]:
    """The files of each host: by label, else by host name."""
    hosts: dict[str, list[Results]] = {}
    for r in results:
        hosts.setdefault(host_of(r.context), []).append(r)
    return [Group(name, files) for name, files in hosts.items()]


def runs_by_host(runs: list[Run]) -> list[RunsOf]:
    """The runs of each host, as hosts_of() groups files."""
    hosts: dict[str, list[Run]] = {}
    for r in runs:
        hosts.setdefault(host_of(r.context), []).append(r)
    return [RunsOf(name, files) for name, files in hosts.items()]


def median_error(ticks: st.Values) -> float:
    """The standard error of a run's median of a row: the width of the sign
    test's 95 % interval of it, the order statistics that bound it, over
    3.92; the whole range where a row has too few repetitions for one. A
    sort, where a bootstrap took a store 14 ms a run."""
    x = np.sort(st.floats(ticks))
    low = max(median_rank(len(x), ONE_MEDIAN_TAIL), 1)
    return float(x[len(x) - low] - x[low - 1]) / st.WIDTH_IN_STANDARD_ERRORS


def run_of(r: Results) -> Run:
    ticks = r.ticks
    return Run(r.path, r.context, r.rows, {row: st.median(t) for row, t in ticks.items()},
               {row: median_error(t) for row, t in ticks.items()})


def host_value(medians: list[float], errors: list[float]) -> Spread:
    """The median of some runs' medians of one row, and their spread: the
    run-to-run spread, but at least the spread that a run's own repetitions
    give its median (the median of the runs' standard errors), so that a
    few runs that happen to agree set no bar of 0."""
    return Spread(st.median(medians), max(st.spread_of_medians(medians), st.median(errors)))


def gaps(values: st.Floats, starts: npt.NDArray[np.int64], counts: st.Floats) -> st.Floats:
    """How far each host's mean lies from the mean of the rest, in units of
    its standard error: `values` holds runs x columns (or orders x runs x
    columns, for several orders of the runs at once), each host's runs
    together, the first of each at `starts`. The spread is pooled over
    every host's runs about its own mean."""
    total = values.sum(axis=-2, keepdims=True)
    n = counts.sum()
    sums = np.add.reduceat(values, starts, axis=-2)
    squares = np.add.reduceat(values * values, starts, axis=-2)
    c = counts[:, None]
    within = (squares - sums * sums / c).sum(axis=-2, keepdims=True)
    spread = np.sqrt(np.maximum(within, 0) / (n - len(counts)))
    apart = np.abs(sums / c - (total - sums) / (n - c))
    error = spread * np.sqrt(1 / c + 1 / (n - c))
    # Hosts whose runs agree exactly leave no spread: the gaps are then
    # told apart by their size alone.
    result: st.Floats = apart / np.maximum(error, TIES)
    return result


def dealing_seed(values: st.Floats) -> int:
    """The seed of the dealings of these runs: drawn from their values in
    sorted order, so that the same files always give the same verdicts, and
    the dealings are as random for every order the runs may come in. With
    one fixed seed for every fleet, the same few dealings would judge them
    all, and the test would hold its level only on average."""
    digest = hashlib.sha256(np.sort(values, axis=None).tobytes()).digest()
    return int.from_bytes(digest[:8], "little")


def dealt_p_values(observed: st.Floats, dealt: st.Floats) -> st.Floats:
    """Each observed gap's p-value against the largest gaps of the
    dealings: the share of dealings, the observed one counted among them,
    whose largest gap is at least as large."""
    ordered = np.sort(dealt)
    at_least = len(ordered) - np.searchsorted(ordered, observed - TIES, side="left")
    p: st.Floats = (1 + at_least) / (len(ordered) + 1)
    return p


def least_p_value(counts: Sequence[int]) -> float:
    """The least p-value the test by dealing can give: a host's runs, all
    apart from the rest, are dealt together to one host of their number in
    that share of dealings."""
    total = sum(counts)
    return min(counts.count(n) / math.comb(total, n) for n in set(counts))


def outlying_hosts(medians: Sequence[st.Values]) -> list[tuple[int, list[int]]]:
    """The hosts that stand out, the furthest first, each with the columns
    on which it does: `medians` holds each host's runs x columns. The test
    is the largest gap of any host on any column, against the largest
    gaps of the runs dealt to the hosts anew (PERMUTATIONS times): where no
    host differs, every dealing is as likely as the one observed, so the
    test holds its level FALSE_ALARMS over every host and column together,
    whatever the runs' distribution. A host marked is left out and the
    rest tested again, so that an outlier does not make the others look
    apart. Needs HOSTS_FOR_OUTLIERS hosts of RUNS_FOR_OUTLIERS runs each."""
    runs = [st.floats(m) for m in medians]
    runs = [x.reshape(len(x), -1) for x in runs]
    if len(runs) < HOSTS_FOR_OUTLIERS or min(len(x) for x in runs) < RUNS_FOR_OUTLIERS:
        raise ValueError("too few hosts or runs for outliers")
    rest = list(range(len(runs)))
    outlying: list[tuple[int, list[int]]] = []
    while len(rest) >= HOSTS_FOR_OUTLIERS:
        counts = np.array([len(runs[h]) for h in rest], dtype=np.float64)
        starts = np.concatenate((np.zeros(1), np.cumsum(counts)[:-1])).astype(np.int64)
        values = np.concatenate([runs[h] for h in rest])
        observed = gaps(values, starts, counts)
        rng = np.random.default_rng(dealing_seed(values))
        largest = []
        at_once = max(1, min(PERMUTATION_BATCH, DEALT_VALUES // values.size))
        for done in range(0, PERMUTATIONS, at_once):
            batch = min(at_once, PERMUTATIONS - done)
            order = rng.permuted(np.tile(np.arange(len(values)), (batch, 1)), axis=1)
            largest.append(gaps(values[order], starts, counts).max(axis=(1, 2)))
        p = dealt_p_values(observed, np.concatenate(largest))
        furthest = int(np.argmax(observed.max(axis=1)))
        columns = [int(c) for c in np.flatnonzero(p[furthest] <= FALSE_ALARMS)]
        if not columns:
            break
        outlying.append((rest[furthest], columns))
        rest.pop(furthest)
    return outlying


def relative(runs: Sequence[st.Floats]) -> list[st.Floats] | None:
    """Each host's run medians (runs x rows) relative to each run's load,
    as logarithms: how far each lies above the fleet's median of its row,
    less the median of that over the run's rows. None where there are too
    few rows, or a median of no ticks."""
    if runs[0].shape[1] < RELATIVE_ROWS or not all((x > 0).all() for x in runs):
        return None
    # Every host's runs as one group: the typical of each row is the fleet's.
    shares = st.relative_logs(np.concatenate(runs))
    return np.split(shares, np.cumsum([len(x) for x in runs])[:-1])


def marked_rows(runs: Sequence[st.Floats], rows: Sequence[str]) -> list[list[str]]:
    """The rows on which each host stands out: `runs` holds each host's
    run medians, runs x rows. Each row is tested as ticks and, where the
    runs allow, relative to each run's load, all in one test. Needs
    HOSTS_FOR_OUTLIERS hosts of RUNS_FOR_OUTLIERS runs each."""
    shares = relative(runs)
    columns = [st.floats(x) for x in runs]
    if shares is not None:
        columns = [np.concatenate((x, y), axis=1) for x, y in zip(columns, shares)]
    marked: list[list[str]] = [[] for _ in runs]
    for h, found in outlying_hosts(columns):
        # A row found as ticks is named so, else as found relative.
        names: dict[int, str] = {}
        for c in sorted(found):
            j = c % len(rows)
            names.setdefault(j, rows[j] + (RELATIVE if c >= len(rows) else ""))
        marked[h] = [names[j] for j in sorted(names)]
    return marked


def no_verdict(groups: Sequence[RunsOf]) -> str:
    """Why no host can be marked, or "" where the fleet is large enough."""
    if len(groups) < HOSTS_FOR_OUTLIERS:
        return (f"no verdict: {len(groups)} host{'s' if len(groups) != 1 else ''}; "
                f"outliers need {HOSTS_FOR_OUTLIERS} hosts at least")
    few = [g.name for g in groups if len(g.files) < RUNS_FOR_OUTLIERS]
    if few:
        return (f"no verdict: {', '.join(few)} with fewer than {RUNS_FOR_OUTLIERS} runs; "
                f"outliers need {RUNS_FOR_OUTLIERS} runs a host at least")
    least = least_p_value([len(g.files) for g in groups])
    if least > FALSE_ALARMS:
        runs = sum(len(g.files) for g in groups)
        return (f"no verdict: {runs} runs on {len(groups)} hosts deal a host's runs "
                f"together by chance in 1 of {1 / least:.0f} ways; a test at "
                f"{FALSE_ALARMS:.0%} needs 1 in {1 / FALSE_ALARMS:.0f} or fewer: give more "
                f"runs a host")
    return ""


def entry_text(value: object) -> str:
    return "-" if value is None else str(value)


def first_load(r: Run) -> float | None:
    """The first figure (the last minute's) of a file's load average."""
    load = r.context.get(LOAD)
    if isinstance(load, list) and load and isinstance(load[0], (int, float)) \
            and not isinstance(load[0], bool):
        return float(load[0])
    return None


def causes_of(host: RunsOf, others: list[RunsOf]) -> list[Cause]:
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


def run_names(files: Sequence[Run]) -> list[str]:
    """A host's runs by file name where that tells them apart, else by
    path: the same whether read from files or from a store."""
    names = [os.path.basename(r.path) for r in files]
    return names if len(set(names)) == len(names) else [r.path for r in files]


def fleet_report(groups: list[Group]) -> FleetReport:
    """The fleet of the files of each host."""
    return fleet_of_runs([RunsOf(g.name, [run_of(r) for r in g.files]) for g in groups])


def fleet_of_runs(groups: list[RunsOf]) -> FleetReport:
    """The fleet of each host's runs, as read from files or from a store."""
    everything = [r for g in groups for r in g.files]
    rows = []
    left_out = []
    for row in merged_rows([r.rows for r in everything]):
        lacking = [g.name for g in groups if not any(row in r.medians for r in g.files)]
        if lacking:
            left_out.append(LeftOut(row, lacking))
        else:
            rows.append(row)
    values = [[host_value([r.medians[row] for r in g.files if row in r.medians],
                          [r.errors[row] for r in g.files if row in r.medians])
               for row in rows] for g in groups]
    why = no_verdict(groups)
    judged = [row for row in rows if all(row in r.medians for r in everything)]
    outlying = ([[] for _ in groups] if why else marked_rows(
        [np.array([[r.medians[row] for row in judged] for r in g.files])
         for g in groups], judged))
    causes = [c for i, g in enumerate(groups) if outlying[i]
              for c in causes_of(g, [o for o in groups if o is not g])]
    noise = [DisturbedOf(g.name, len(g.files), tuple(runs)) for g in groups
             if (runs := disturbed(g.files, run_names(g.files)))]
    return FleetReport(rows, [Host(g.name, len(g.files), values[i], outlying[i])
                              for i, g in enumerate(groups)], left_out, why,
                        [row for row in rows if row not in judged], causes, tuple(noise))


def fleet_answers(report: FleetReport) -> list[str]:
    """The hosts marked, each with the rows it stands out on and the
    context entries in which it differs from the rest; else why none is;
    then the hosts with disturbed runs."""
    answers = []
    for host in report.hosts:
        if host.outlying:
            why = [f"{c.entry} {c.value} (others {c.others})"
                   for c in report.causes if c.host == host.name]
            answers.append(f"{host.name}: stands out on {', '.join(host.outlying)}"
                           + (f"; differs in {', '.join(why)}" if why else
                              "; no context entry of its own"))
    if report.no_verdict:
        answers.append(report.no_verdict)
    elif not answers:
        answers.append(f"no host stands out (a test at {FALSE_ALARMS:.0%} over every host "
                       "and row)")
    return answers + [disturbed_line(d.whose, d.disturbed, d.runs) for d in report.noise]


def print_fleet(report: FleetReport, out: Output) -> None:
    lines(out, fleet_answers(report), first=True)
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
    if report.unjudged and not report.no_verdict:
        out.note(f"no verdict on {', '.join(report.unjudged)}: not measured in every file")
    causes = Table("causes", "where the outliers differ from the other hosts",
                   [Column("host", Align.LEFT), Column("entry", Align.LEFT),
                    Column("its value", Align.LEFT), Column("the others'", Align.LEFT)])
    for cause in report.causes:
        causes.add(*cause)
    if report.causes:
        out.table(causes)
    else:
        out.empty(causes)
