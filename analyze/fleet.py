"""The report on a fleet: one line per host, each row's median of run
medians and run-to-run spread, and the hosts that stand out."""

from __future__ import annotations

from typing import NamedTuple

from . import statistics as st
from .reader import Group, Results, rows_of
from .tables import Align, Column, Kind, Output, Spread, Table

# How far a host's value may lie from the other hosts' before it is marked,
# in units of their typical run-to-run spread.
OUTLIER_SPREADS = 4.0
# A typical spread of 0 is taken as this, so that any other value stands
# out.
LEAST_SPREAD = 1e-9
# Outliers are looked for among this many hosts at least: the host and two
# others to tell what is typical.
HOSTS_FOR_OUTLIERS = 3
# The seed of the interval of each run's median.
RUN_SEED = 0


class Host(NamedTuple):
    name: str
    runs: int
    values: list[Spread]  # one a row
    outlying: list[str]  # the rows on which it stands out


class LeftOut(NamedTuple):
    """A row that some hosts did not measure, and so no column."""

    row: str
    hosts: list[str]  # those that lack it


class FleetReport(NamedTuple):
    rows: list[str]  # those that every host measured
    hosts: list[Host]
    left_out: list[LeftOut]


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


def outlying_rows(values: list[list[Spread]], host: int, rows: list[str]) -> list[str]:
    """The rows on which host number `host` lies further from the other
    hosts than their spread explains; `values` is every host's, a row
    each."""
    if len(values) < HOSTS_FOR_OUTLIERS:
        return []
    others = [v for i, v in enumerate(values) if i != host]
    outlying = []
    for j, row in enumerate(rows):
        center = st.median([v[j].value for v in others])
        typical = st.median([v[j].spread for v in others])
        if abs(values[host][j].value - center) > OUTLIER_SPREADS * max(typical, LEAST_SPREAD):
            outlying.append(row)
    return outlying


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
    return FleetReport(rows, [Host(g.name, len(g.files), values[i], outlying_rows(values, i, rows))
                              for i, g in enumerate(groups)], left_out)


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
    if len(report.hosts) < HOSTS_FOR_OUTLIERS:
        out.note(f"outliers need at least {HOSTS_FOR_OUTLIERS} hosts")
