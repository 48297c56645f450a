"""The report over time: each host's runs, row by row, as periods between
change points, with the change at each and the context entries that
changed there.

A series is the run medians of one row on one host (of one label, where a
host's runs have several), in the order of their dates, with the run as
the unit. A segment is tested for "no change" by the Mann-Whitney
statistic of the runs before a split against those after it,
standardised and maximised over every split that leaves MIN_SEGMENT runs
a side (Pettitt's test), against orders of its own ranks (ties ranked by
their mean) drawn with a seed taken from those ranks: each series is held
against its own draw, so that the level holds over series rather than as
one draw for every series of a length happens to give.

Run medians on one machine spread some 11 % from run to run, and most of
that is the machine's state, common to every row of a run. So each row is
tested twice: as ticks, and relative to its load (loads_left_out(): the
log of the median less the row's median over the host's runs, less the
median of that over the run's other rows), which spreads 2 to 4 %. A
host's series, both ways, are one family: their first tests are held at
LEVEL together, against the largest statistic of all of them in orders of
the host's whole runs (first_found()), so that a host without change
shows a change point on any row in at most LEVEL of histories. A series
found so is split where its statistic is largest, and each part tested
again alone at SPLIT_LEVEL (binary segmentation). The change points found
as ticks are kept, and those found relative that are MIN_SEGMENT runs
from every one of them. No change point can be found in fewer runs than
least_length(LEVEL).

At each change point the later period is compared with the earlier one as
sides are: the difference of their medians of run medians, and the exact
rank-test interval of the shift (Moses) with its p-value and verdict. A
change point found relative has its interval, p-value and verdict from
the two periods' relative values instead (a shift of logarithms, made % of
the earlier median and ticks of it), so that its verdict agrees with how
it was found. The change point was placed where the two periods differ
most, so that interval is narrower, and its p-value smaller, than for a
step placed beforehand."""

from __future__ import annotations

import json
import math
from datetime import datetime, timezone
from typing import Any, NamedTuple, Sequence

import numpy as np
import numpy.typing as npt

from . import statistics as st
from .effects import Verdict, verdict_of
from .estimates import Change, Interval, change_of
from .files import CONTEXT_ALWAYS_DIFFERS
from .lead import lines
from .reader import merged_rows
from .store import StoredRun
from .tables import NONE, Align, Cell, Column, Kind, Output, Table

# The share of a host's histories without change in which a change point
# may be found on any of its rows, as ticks or relative to the load.
LEVEL = 0.05
# The level of each further split of a series found to change.
SPLIT_LEVEL = LEVEL / 2
# How a change point was found: in the run medians, or relative to the load.
TICKS = "ticks"
RELATIVE = "relative"
# The fewest runs a period may have: the rank test of fewer than 4 runs a
# side gives no verdict (how often a step is found:
# tools/history_calibration.py).
MIN_SEGMENT = 4
# The most orders of a segment's runs that its statistic is held against,
# and the orders at least as extreme after which drawing stops: a segment
# without change is judged on some tens of orders, one with a change on
# them all (Besag and Clifford's sequential p-value, exact as any drawn
# one).
PERMUTATIONS = 399
EXCEEDANCES = 10
# The most orders of a host's whole runs that its family is held against.
FAMILY_PERMUTATIONS = 99
# Statistics closer than this are one: the same sums in another order, or
# computed in single precision. Two sums of ranks a half apart differ by
# more up to some 10,000 runs.
TIES = 1e-5
# A period of more runs than this is compared with its neighbour by the
# rank test's normal approximation, even where the other has 8 runs or
# fewer: scipy's exact distribution of 4 runs against 300 takes a quarter
# of a second, and a thousand series of a year have some fifty such
# periods at their ends by chance alone.
EXACT_LONGEST = 50
# The context entries compared at a change point: the run this many
# before it with the run this many after it (the first after it is 0),
# so that a change point found a run off still shows the entry.
CONTEXT_BEFORE = 2
CONTEXT_AFTER = 1


class Period(NamedTuple):
    first: str  # the date of its first run
    last: str  # the date of its last run
    runs: int
    median: float  # of its runs' medians


class ChangePoint(NamedTuple):
    at: int  # the index of the first run of the later period
    date: str  # that run's date
    before: float  # the earlier period's median
    after: float  # the later period's median
    change: Change  # the later less the earlier
    interval: Interval | None  # of the shift, in ticks; None with too few runs
    percent: Interval | None  # the same in % of the earlier median
    p_value: float | None
    verdict: Verdict | None
    context: list[str]  # "kernel 6.1 -> 6.12"
    found: str = TICKS  # or RELATIVE: interval, p and verdict are then relative


class Series(NamedTuple):
    host: str
    label: str
    row: str
    dates: list[str]
    medians: list[float]
    periods: list[Period]
    changes: list[ChangePoint]
    relative: list[float]  # each run's log relative to its load; NaN without a load


class HistoryReport(NamedTuple):
    series: list[Series]
    # Whether a host's runs have several labels, so that label is shown.
    labels_shown: bool


def standardised_maxima(ranks: npt.NDArray[Any], least: int) -> npt.NDArray[np.floating[Any]]:
    """Each split's Mann-Whitney statistic of the first runs against the
    rest, standardised: `ranks` holds one series of ranks a line (batch x
    n); the result holds |Z| of each split k = least .. n - least (batch x
    splits)."""
    n = ranks.shape[-1]
    k = np.arange(least, n - least + 1, dtype=np.float64)
    centre = k * (k + 1) / 2 + k * (n - k) / 2
    scale = 1 / np.sqrt(k * (n - k) * (n + 1) / 12)
    # U less its mean, over its standard deviation: computed in place. Ranks
    # given as whole numbers of halves (ties make halves at worst), as the
    # orders drawn are, are summed as such, which numpy does ten times as
    # fast as floats, and the rest in single precision (within TIES).
    if np.issubdtype(ranks.dtype, np.integer):
        halves: npt.NDArray[np.float32] = np.cumsum(
            ranks, axis=-1)[..., least - 1:n - least].astype(np.float32)
        halves -= (2 * centre).astype(np.float32)
        np.abs(halves, out=halves)
        halves *= (scale / 2).astype(np.float32)
        return halves
    z: npt.NDArray[np.floating[Any]] = np.cumsum(ranks, axis=-1)[..., least - 1:n - least]
    z -= centre
    np.abs(z, out=z)
    z *= scale
    return z


# The orders of a series first drawn at once, doubled at each draw up to
# NULL_BATCH; those of a host's runs are drawn FAMILY_BATCH at a time,
# every series at once, which keeps them in the processor's cache (twice
# as fast as all at once).
FIRST_BATCH = 16
NULL_BATCH = 256
FAMILY_BATCH = 16


def least_p(n: int, least: int = MIN_SEGMENT) -> float:
    """The least p-value that a segment of n runs can reach: the share of
    its orders whose largest statistic is the largest there is, the half
    of smallest (or largest) runs first. 1 where no split is allowed."""
    if n < 2 * least:
        return 1.0
    k = n // 2
    sets = math.comb(n, k)
    if n % 2 == 0:
        return 2 / sets
    # The smallest k first, or the smallest k + 1 (and so for the largest);
    # both at once where the run after the smallest k is the next smallest.
    return 4 / sets - 2 / (sets * (n - k))


def least_length(level: float, least: int = MIN_SEGMENT) -> int:
    """The fewest runs in which a change point can be found at `level`."""
    n = 2 * least
    while least_p(n, least) > level:
        n += 1
    return n


def seed_of(ranks: st.Floats) -> int:
    """A seed taken from a series' ranks: each series is held against its
    own draw of orders, so that the level holds over series, not as one
    draw for every series of a length happens to give."""
    import hashlib

    return int.from_bytes(hashlib.blake2b(ranks.tobytes(), digest_size=8).digest(), "little")


def null_p(ranks: st.Floats, observed: float, least: int) -> float:
    """The share of orders of `ranks` whose largest statistic is at least
    `observed`, the observed order counted among them: orders drawn with a
    seed of the ranks until EXCEEDANCES are that large (p = EXCEEDANCES /
    orders drawn) or PERMUTATIONS are drawn; at least least_p()."""
    rng = np.random.default_rng(seed_of(ranks))
    floor = least_p(len(ranks), least)
    halves = np.rint(2 * ranks).astype(np.int64)
    drawn = exceeding = 0
    batch = FIRST_BATCH
    while drawn < PERMUTATIONS:
        count = min(batch, PERMUTATIONS - drawn)
        orders = rng.permuted(np.tile(halves, (count, 1)), axis=1)
        large = standardised_maxima(orders, least).max(axis=1) >= observed - TIES
        so_far = exceeding + np.cumsum(large)
        if so_far[-1] >= EXCEEDANCES:
            return max(EXCEEDANCES / (drawn + int(np.argmax(so_far >= EXCEEDANCES)) + 1), floor)
        drawn += count
        exceeding = int(so_far[-1])
        batch = min(2 * batch, NULL_BATCH)
    return max((exceeding + 1) / (drawn + 1), floor)


def segment_tests(values: st.Values, least: int = MIN_SEGMENT) -> tuple[list[int], list[float]]:
    """segment_test() of each line of `values` (segments x runs, all of one
    length) at once."""
    from scipy import stats

    x = st.floats(values)
    if x.shape[-1] < 2 * least:
        raise ValueError(f"{x.shape[-1]} values: a split needs {2 * least}")
    ranks = stats.rankdata(x, axis=-1)
    z = standardised_maxima(ranks, least)
    best = np.argmax(z, axis=-1)
    largest = z[np.arange(len(z)), best]
    return ([int(b) + least for b in best],
            [null_p(r, float(m), least) for r, m in zip(ranks, largest)])


def segment_test(values: st.Values, least: int = MIN_SEGMENT) -> tuple[int, float]:
    """The split of a segment whose runs before and after differ most, as
    the number of runs before it, and the p-value of "no change" in the
    segment: the share of orders of its runs, the observed one counted
    among them, whose largest statistic is at least as large. Needs 2 x
    `least` values."""
    ats, ps = segment_tests(st.floats(values)[None, :], least)
    return ats[0], ps[0]


def loads_left_out(medians: st.Floats) -> st.Floats:
    """statistics.relative_logs() with each row's load taken from the other
    rows of its run, so that a step in the row tested does not move its
    own load: runs x rows, NaN where a median is not above 0 and in every
    row of a run without RELATIVE_ROWS other medians above 0 (of two
    others the median is their mean, which a step in either moves)."""
    import warnings

    x = np.asarray(medians, dtype=np.float64)
    result: st.Floats = np.full(x.shape, math.nan)
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        # A row or a run of no median above 0 has a median of NaN.
        warnings.simplefilter("ignore", RuntimeWarning)
        logs = np.where(x > 0, np.log(np.where(x > 0, x, 1.0)), np.nan)
        above = logs - np.nanmedian(logs, axis=-2, keepdims=True)
        loaded = np.isfinite(above).sum(axis=-1) > st.RELATIVE_ROWS
        # numpy's median of rows without NaN is some ten times its nanmedian.
        median = np.median if np.isfinite(above).all() else np.nanmedian
        for j in range(x.shape[-1]):
            load = median(np.delete(above, j, axis=-1), axis=-1)
            result[..., j] = np.where(loaded, above[..., j] - load, math.nan)
    return result


def family_maxima(ranks: st.Floats, present: npt.NDArray[np.bool_], least: int) -> st.Floats:
    """The largest statistic of each series (column) of `ranks` (runs x
    series, or orders x runs x series; 0 where a run lacks the series),
    each over the splits of its own runs present."""
    n = present.sum(axis=-2, keepdims=True).astype(np.float64)
    k = np.cumsum(present, axis=-2, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        z = (np.abs(np.cumsum(ranks, axis=-2) - k * (n + 1) / 2)
             / np.sqrt(k * (n - k) * (n + 1) / 12))
    z[(k < least) | (k > n - least)] = 0
    result: st.Floats = z.max(axis=-2)
    return result


def beyond_allowed(level: float, orders: int) -> int:
    """The most of `orders` drawn that may lie beyond a statistic found at
    `level`: the observed order counted among them, at most `level` of all
    (-1 where even none beyond is too many)."""
    return int(level * (orders + 1) + 1e-9) - 1


def first_found(series: st.Floats, least: int = MIN_SEGMENT,
                level: float = LEVEL) -> list[bool]:
    """Which of a host's series (runs x series, NaN where a run lacks one)
    change, their first tests held as one family: a series changes where
    its largest statistic is beyond the largest of every series in all but
    `level` of the orders of the host's whole runs (the rows keep how they
    move together), the observed order among them. The orders are drawn
    with a seed of the ranks, FAMILY_PERMUTATIONS at most, and drawing
    stops once `level` of them are beyond the largest of all."""
    from scipy import stats

    present = np.isfinite(series)
    present[:, present.sum(axis=0) < least_length(level, least)] = False
    ranks = np.zeros(series.shape)
    for j in np.flatnonzero(present.any(axis=0)):
        ranks[present[:, j], j] = stats.rankdata(series[present[:, j], j])
    if not present.any():
        return [False] * series.shape[1]
    observed = family_maxima(ranks, present, least)
    rng = np.random.default_rng(seed_of(np.concatenate([ranks.ravel(), present.ravel()])))
    allowed = beyond_allowed(level, FAMILY_PERMUTATIONS)
    whole = bool(present.all())
    halves = np.rint(2 * ranks.T).astype(np.int64)
    beyond = np.zeros(series.shape[1], dtype=np.int64)
    drawn = 0
    while drawn < FAMILY_PERMUTATIONS:
        count = min(FAMILY_BATCH, FAMILY_PERMUTATIONS - drawn)
        orders = np.argsort(rng.random((count, len(series))), axis=1)
        if whole:
            # Every run has every series: along the runs, each series' ranks
            # in a line.
            largest = standardised_maxima(halves[:, orders], least).max(axis=(0, 2))
        else:
            largest = family_maxima(ranks[orders], present[orders], least).max(axis=-1)
        beyond += (largest[:, None] >= observed[None, :] - TIES).sum(axis=0)
        if beyond.min() > allowed:
            return [False] * series.shape[1]
        drawn += count
    return [bool(b <= allowed and o > 0) for b, o in zip(beyond, observed)]


def change_points(values: st.Values, least: int = MIN_SEGMENT,
                  level: float = SPLIT_LEVEL, found_first: bool = False) -> list[int]:
    """The change points of a series by binary segmentation: the index of
    the first value after each, in order. A segment is split where
    segment_test() puts it, if its p-value is at most `level` (the whole
    series without a test where `found_first`: its family found it), and
    each part tested again; no part has fewer than `least` values."""
    from scipy import stats

    x = st.floats(values)
    found = []
    segments = [(0, len(x))]
    while segments:
        start, end = segments.pop()
        if end - start < 2 * least:
            continue
        if found_first and end - start == len(x):
            at, p = int(np.argmax(standardised_maxima(stats.rankdata(x), least))) + least, 0.0
        else:
            at, p = segment_test(x[start:end], least)
        if p <= level:
            found.append(start + at)
            segments += [(start, start + at), (start + at, end)]
    return sorted(found)


def merged(ticks: Sequence[int], relative: Sequence[int],
           least: int = MIN_SEGMENT) -> list[tuple[int, str]]:
    """The change points found as ticks, and those found relative that are
    `least` runs from every one of them, so that every period keeps `least`
    runs: (index, how found), in order."""
    kept = [(p, TICKS) for p in ticks]
    kept += [(p, RELATIVE) for p in relative if all(abs(p - t) >= least for t in ticks)]
    return sorted(kept)


def found_in(groups: Sequence[st.Floats],
             rows: Sequence[Sequence[int]] | None = None) -> list[list[list[tuple[int, str]]]]:
    """The change points of each group's rows: a group is one host's run
    medians (runs x rows, in date order; NaN where a run lacks a row), and
    its rows chosen are `rows` (else all). Each row's series is of the runs
    that have it, tested as ticks and relative to its load from the run's
    other rows; the first tests of a group's series are one family
    (first_found()), and a series found to change there is split further
    at SPLIT_LEVEL. A change point is (index in that series, how found)."""
    result = []
    for g, x in enumerate(groups):
        chosen = list(rows[g] if rows is not None else range(x.shape[1]))
        shares = loads_left_out(x)[:, chosen]
        columns = np.concatenate([x[:, chosen], np.where(np.isfinite(x[:, chosen]), shares,
                                                         math.nan)], axis=1)
        points: list[list[int]] = []
        for c, found in enumerate(first_found(columns)):
            # A change point's index among the runs that have the row.
            having = np.isfinite(columns[:, c % len(chosen)])
            where = np.flatnonzero(np.isfinite(columns[having, c]))
            points.append([int(where[i]) for i in change_points(
                columns[having, c][where], found_first=True)] if found else [])
        k = len(chosen)
        result.append([merged(points[i], points[k + i]) for i in range(k)])
    return result


def moment(date: str) -> float | None:
    """A date as a time stamp, or None where it is not ISO 8601; one
    without an offset is taken as UTC."""
    try:
        when = datetime.fromisoformat(date)
    except ValueError:
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=timezone.utc)
    return when.timestamp()


def in_date_order(runs: list[StoredRun]) -> list[StoredRun]:
    """The runs by date (where every date is ISO 8601; else as given),
    then key."""
    moments = [moment(r.date) for r in runs]
    if any(m is None for m in moments):
        return list(runs)
    order = sorted(range(len(runs)), key=lambda i: (moments[i], runs[i].key))
    return [runs[i] for i in order]


def entry_text(value: object) -> str:
    if value is None:
        return "-"
    return value if isinstance(value, str) else json.dumps(value, sort_keys=True)


def context_changes(before: StoredRun, after: StoredRun) -> list[str]:
    """The context entries that differ between two runs, "key a -> b",
    less those that always differ."""
    keys = sorted(set(before.context) | set(after.context))
    return [f"{key} {entry_text(before.context.get(key))} -> "
            f"{entry_text(after.context.get(key))}"
            for key in keys if key not in CONTEXT_ALWAYS_DIFFERS
            and entry_text(before.context.get(key)) != entry_text(after.context.get(key))]


def change_at(runs: list[StoredRun], medians: list[float], relative: list[float],
              start: int, at: int, end: int, found: str = TICKS) -> ChangePoint:
    """The change between the periods [start, at) and [at, end). Its
    interval, p-value and verdict are of the runs' medians where it was
    found as ticks; of their values relative to the load where it was
    found relative, the shift of logarithms made % and ticks of the
    earlier median."""
    earlier, later = medians[start:at], medians[at:end]
    before, after = st.median(earlier), st.median(later)
    interval = percent = p = verdict = None
    if found == RELATIVE:
        earlier = [v for v in relative[start:at] if math.isfinite(v)]
        later = [v for v in relative[at:end] if math.isfinite(v)]
    if min(len(earlier), len(later)) >= st.RUNS_FOR_VERDICT:
        test = st.shift_interval(earlier, later, "asymptotic"
                                 if max(len(earlier), len(later)) > EXACT_LONGEST else "auto")
        interval, p = test.interval, test.p_value
        verdict = verdict_of(interval)
        if found == RELATIVE:
            percent = Interval(math.expm1(interval.low) * 100, math.expm1(interval.high) * 100)
            interval = Interval(percent.low / 100 * before, percent.high / 100 * before)
        elif before != 0:
            percent = Interval(interval.low / before * 100, interval.high / before * 100)
    context = context_changes(runs[max(start, at - CONTEXT_BEFORE)],
                              runs[min(end - 1, at + CONTEXT_AFTER)])
    return ChangePoint(at, runs[at].date, before, after, change_of(after, before), interval,
                       percent, p, verdict, context, found)


def series_of(host: str, label: str, row: str, runs: list[StoredRun],
              relative: list[float], points: list[tuple[int, str]]) -> Series:
    """One row's series on one host: its periods, and the change at each
    of its change points."""
    medians = [r.medians[row] for r in runs]
    bounds = [0] + [p for p, _ in points] + [len(runs)]
    periods = [Period(runs[a].date, runs[b - 1].date, b - a, st.median(medians[a:b]))
               for a, b in zip(bounds, bounds[1:])]
    changes = [change_at(runs, medians, relative, a, b, c, how)
               for a, b, c, (_, how) in zip(bounds, bounds[1:], bounds[2:], points)]
    return Series(host, label, row, [r.date for r in runs], medians, periods, changes,
                  relative)


def history_report(runs: list[StoredRun], rows: Sequence[str] = ()) -> HistoryReport:
    """Each host's series, by host, label and row (the rows given, or
    every row the host's runs measured; in the bench's order). A run
    without a row is left out of that row's series."""
    series_runs: dict[tuple[str, str], list[StoredRun]] = {}
    for r in runs:
        series_runs.setdefault((r.host, r.label), []).append(r)
    labels: dict[str, set[str]] = {}
    for host, label in series_runs:
        labels.setdefault(host, set()).add(label)
    series: list[Series] = []
    groups: list[st.Floats] = []
    chosen_rows: list[list[int]] = []
    made: list[tuple[str, str, list[str], list[StoredRun]]] = []
    for (host, label), chosen in series_runs.items():
        ordered = in_date_order(chosen)
        # Every row the runs measured makes the load, whichever are shown;
        # in the bench's order (the runs' context entry rows).
        measured = list(dict.fromkeys(row for r in ordered for row in r.medians))
        measured_set = set(measured)
        orders = dict.fromkeys(tuple(str(r.context.get("rows", "")).split()) for r in ordered)
        met = [row for row in merged_rows([*orders, measured]) if row in measured_set]
        x = np.array([[r.medians.get(row, math.nan) for row in met] for r in ordered],
                     dtype=np.float64).reshape(len(ordered), len(met))
        x[~np.isfinite(x)] = math.nan
        # The rows shown in the runs' order, the bench's, whatever the order
        # asked in.
        shown = [j for j, row in enumerate(met) if (not rows or row in rows)
                 and np.isfinite(x[:, j]).any()]
        groups.append(x)
        chosen_rows.append(shown)
        made.append((host, label, met, ordered))
    points = found_in(groups, chosen_rows)
    for (host, label, met, ordered), x, shown, found in zip(made, groups, chosen_rows, points):
        shares = loads_left_out(x)
        for j, p in zip(shown, found):
            having = np.flatnonzero(np.isfinite(x[:, j]))
            series.append(series_of(host, label, met[j], [ordered[i] for i in having],
                                    [float(v) for v in shares[having, j]], p))
    return HistoryReport(series, any(len(v) > 1 for v in labels.values()))


def optional(value: float | Interval | None) -> Cell:
    return NONE if value is None else value


def history_answers(report: HistoryReport) -> list[str]:
    """One line a change point found: where, when, by how much, its
    verdict and what changed in the context there; or that there is none."""
    answers = []
    longest: dict[str, int] = {}
    for s in report.series:
        name = s.host + (f" {s.label}" if report.labels_shown else "")
        longest[name] = max(longest.get(name, 0), len(s.medians))
        for c in s.changes:
            change = ("-" if c.change.percent is None else f"{c.change.percent:+.1f} %")
            if c.percent is not None:
                change += f" [{c.percent.low:+.1f}, {c.percent.high:+.1f}]"
            answers.append(f"{name} {s.row}: {change} from {c.date} (run {c.at + 1}), "
                           f"{'no verdict' if c.verdict is None else c.verdict.value}"
                           + ("" if c.found == TICKS else ", found relative to the load")
                           + (f"; {'; '.join(c.context)}" if c.context else ""))
    least = least_length(LEVEL)
    answers += [f"{name}: no change point can be found in fewer than {least} runs a row "
                f"({runs} runs)" for name, runs in longest.items() if runs < least]
    return answers or [f"no change point: no series changes at {LEVEL:.0%} (periods of "
                       f"{MIN_SEGMENT} runs at least)"]


def print_history(report: HistoryReport, out: Output) -> None:
    """The change points in words, the periods of each series, then the
    change points' table."""
    if not report.series:
        out.note("no runs")
        return
    lines(out, history_answers(report), first=True)
    names = [Column("host", Align.LEFT)] + ([Column("label", Align.LEFT)]
                                            if report.labels_shown else [])

    def name(s: Series) -> list[Cell]:
        cells: list[Cell] = [s.host]
        return cells + ([s.label] if report.labels_shown else [])

    table = Table("periods", "periods between change points: the median of their runs' "
                  "medians in ticks", names + [
                      Column("row", Align.LEFT), Column("period", kind=Kind.COUNT),
                      Column("first", Align.LEFT), Column("last", Align.LEFT),
                      Column("runs", kind=Kind.COUNT), Column("median", kind=Kind.TICKS)])
    for s in report.series:
        for i, period in enumerate(s.periods, 1):
            table.add(*name(s), s.row, i, period.first, period.last, period.runs,
                      period.median)
    out.table(table)
    changes = [(s, c) for s in report.series for c in s.changes]
    table = Table("changes", "change points: the later period less the earlier "
                  "(negative = fewer ticks), in ticks and in % of the earlier median, "
                  f"{st.CONFIDENCE_TEXT} interval from a rank test on the runs' medians (on "
                  "their values relative to the run's load where found relative)",
                  names + [Column("row", Align.LEFT), Column("run", kind=Kind.COUNT),
                           Column("date", Align.LEFT), Column("before", kind=Kind.TICKS),
                           Column("after", kind=Kind.TICKS),
                           Column("difference", kind=Kind.TICKS),
                           Column("interval", Align.LEFT, Kind.INTERVAL),
                           Column("change", kind=Kind.CHANGE),
                           Column("change interval", Align.LEFT, Kind.CHANGE_INTERVAL),
                           Column("p"), Column("verdict", Align.LEFT),
                           Column("found", Align.LEFT), Column("context", Align.LEFT)])
    for s, c in changes:
        table.add(*name(s), s.row, c.at + 1, c.date, c.before, c.after, c.change.difference,
                  optional(c.interval), c.change, optional(c.percent),
                  NONE if c.p_value is None else f"{c.p_value:.3g}",
                  NONE if c.verdict is None else c.verdict.value, c.found,
                  "; ".join(c.context) or "-")
    family = (f"family: each host's rows (of a label), as ticks and relative to the load, "
              f"are one family: the chance of a change point on any of them in a history "
              f"without change is at most {LEVEL:.0%} (their largest statistic, in orders of "
              f"the host's whole runs)")
    if not changes:
        out.empty(table)
        out.note(family)
        return
    out.table(table)
    out.note(family)
    out.note(f"run: the first run of the later period, counted from 1 in its series; a "
             f"change point is found where a rank test of the runs before against those "
             f"after, at its largest over every split, is beyond the family's in "
             f"{1 - LEVEL:.0%} of orders of the host's runs (and for a later split, beyond "
             f"{1 - SPLIT_LEVEL:.1%} of orders of the part's runs), either in the runs' "
             f"medians (found: {TICKS}) or in their logarithms relative to the row's load, "
             f"the median over the run's other rows (found: {RELATIVE}; its interval, p and "
             f"verdict are then of those, made % of the earlier median); periods have "
             f"{MIN_SEGMENT} runs at least")
