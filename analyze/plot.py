"""The picture: every row's distribution, a side (or host) a colour; where
the ticks go; each lever's effect with its interval; and, for sides, each
row's change against the first side with its interval and verdict, as the
report has them; on linear axes with labelled ticks, the rows in the
bench's order. The only module that imports matplotlib, and only --plot
imports it."""

from __future__ import annotations

import logging
import math
import os
import stat
import tempfile
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NamedTuple

from . import statistics as st
from .effects import LeverEffect, lever_effects
from .errors import Lost, Unusable
from .estimates import Interval
from .one_file import PARTS_ROW
from .reader import PARTS, Results, merged_rows, rows_of
from .tables import visible

if TYPE_CHECKING:
    from .history import ChangePoint, HistoryReport
    from .sides import SidesReport

# Its notes (a font cache being built, a configuration directory it cannot
# write) are not this program's output: kept off standard error from its
# import on.
logging.getLogger("matplotlib").setLevel(logging.ERROR)

import matplotlib  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

# The picture's width in inches, and its resolution.
WIDTH = 10
DPI = 80
# The height of a panel in inches: a margin and so much a row (for the
# lever panel, a measure) grown with the root of the number of files.
PANEL_MARGIN = 1.2
ROW_HEIGHT = 0.32
PARTS_HEIGHT = 0.4
LEVER_HEIGHT = 0.3
# Of the space of a row, what the files' marks spread over.
SPREAD_OF_FILES = 0.8
PERCENTILES = [10.0, 25.0, 50.0, 75.0, 90.0]
# A bar of the parts, of a row's height; a part of fewer ticks than this
# has no room for its number.
BAR_HEIGHT = 0.6
LEAST_LABELLED = 3.0

# The tallest picture drawn, in pixels, the most that matplotlib draws: some
# 2500 rows of one file, or 1300 with a lever each; fewer with more files.
MOST_PIXELS = (1 << 16) - 1

# Matplotlib's axes, untyped where it has no type hints.
Axes = Any


class Style(NamedTuple):
    color: tuple[float, float, float, float]
    marker: str


def styles() -> list[Style]:
    """20 styles, a file each: ten colours, with circles then squares."""
    tab10 = matplotlib.colormaps["tab10"]
    return [Style(tab10(i), marker) for marker in ("o", "s") for i in range(10)]


def offsets(files: int) -> Callable[[int], float]:
    """Where the i-th file's marks go, around its row's line."""
    step = SPREAD_OF_FILES / files
    return lambda i: (i - (files - 1) / 2) * step


def group_styles(groups: list[str]) -> list[Style]:
    """Each file's style: one a group (its side or host), in their order."""
    names = list(dict.fromkeys(groups))
    every_style = styles()
    return [every_style[names.index(g) % len(every_style)] for g in groups]


def legend_above(ax: Axes, handles: list[Any] | None = None) -> None:
    """The legend (of `handles`, else of the labelled lines) over the
    panel's top right, off the data."""
    entries = len(handles if handles is not None else ax.get_legend_handles_labels()[0])
    if entries:
        ax.legend(**({} if handles is None else {"handles": handles}), loc="lower right",
                  bbox_to_anchor=(1.0, 1.0), fontsize=9, frameon=False, ncol=min(entries, 4),
                  borderaxespad=0.2, handletextpad=0.3, columnspacing=1.0)


def draw_rows(ax: Axes, results: list[Results], groups: list[str], rows: list[str]) -> None:
    """Each row's median, quartiles and 10th and 90th percentiles, a file a
    line, a group a colour."""
    offset = offsets(len(results))
    labelled: set[str] = set()
    for i, (r, style) in enumerate(zip(results, group_styles(groups))):
        for j, row in enumerate(rows):
            if row not in r.ticks:
                continue
            y = j + offset(i)
            p10, p25, p50, p75, p90 = st.percentiles(r.ticks[row], PERCENTILES)
            ax.plot([p10, p90], [y, y], color=style.color, linewidth=1)
            ax.plot([p25, p75], [y, y], color=style.color, linewidth=5, alpha=0.5,
                    solid_capstyle="butt")
            ax.plot([p50], [y], marker=style.marker, color=style.color, markersize=6,
                    linestyle="none", label=None if groups[i] in labelled else groups[i])
            labelled.add(groups[i])
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([visible(row) for row in rows])
    ax.set_ylim(len(rows) - 0.5, -0.5)
    ax.set_xlim(left=0)
    ax.set_xlabel("ticks (µs of processor time; warm_create_join: per thread)\n"
                  "each file's repetitions: median (marker), 25-75 % (thick), 10-90 % (thin)")
    ax.set_title("each row" + (", a line a file" if len(results) > 1 else ""), fontsize=10,
                 loc="left")
    ax.grid(True, axis="x", alpha=0.3)
    legend_above(ax)


# The least share of a bar of the parts that is labelled with its counts.
COUNTS_SHARE = 0.2


def counts_text(r: Results, part: str) -> str:
    """A part's median page faults (minor and major) and context switches
    (voluntary and involuntary), on a line of its own, where the file has
    them; else nothing."""
    values = r.values[PARTS_ROW]
    if f"{part}_faults" not in values:
        return ""
    faults = st.median(values[f"{part}_faults"]) + st.median(values[f"{part}_major_faults"])
    switches = (st.median(values[f"{part}_switches"])
                + st.median(values[f"{part}_involuntary_switches"]))
    return f"\nfaults {faults:g}, switches {switches:g}"


def draw_parts(ax: Axes, parts: list[Results], names: list[str]) -> None:
    """The median of each part of PARTS_ROW, stacked, a file a bar."""
    set2 = matplotlib.colormaps["Set2"]
    for i, r in enumerate(parts):
        left = 0.0
        medians = [st.median(r.values[PARTS_ROW][part]) for part in PARTS]
        for k, (part, med) in enumerate(zip(PARTS, medians)):
            ax.barh(i, med, left=left, height=BAR_HEIGHT, color=set2(k), edgecolor="white",
                    label=part if i == 0 else None)
            if med >= LEAST_LABELLED:
                # The counts where the part is wide enough to hold them.
                counts = counts_text(r, part) if med >= COUNTS_SHARE * sum(medians) else ""
                ax.text(left + med / 2, i, f"{med:.0f}{counts}", ha="center", va="center",
                        fontsize=8)
            left += med
    ax.set_yticks(range(len(parts)))
    ax.set_yticklabels(names)
    # Room below the last bar for the legend.
    ax.set_ylim(len(parts) - 0.5 + BAR_HEIGHT, -0.5)
    ax.set_xlabel(f"ticks (µs): median of each part of {PARTS_ROW}")
    ax.set_title("where the ticks go (and, where measured, each part's median page faults "
                 "and context switches)", fontsize=10, loc="left")
    ax.legend(loc="lower right", fontsize=9, ncol=4, framealpha=0.9)
    ax.grid(True, axis="x", alpha=0.3)


def lever_name(effect: LeverEffect) -> str:
    return f"{effect.lever.row} ({effect.counter})"


def draw_levers(ax: Axes, effects: list[list[LeverEffect]], lever_names: list[str],
                groups: list[str]) -> None:
    """Each lever's difference from its base row with its interval, a file
    a line, a group a colour."""
    offset = offsets(len(effects))
    for i, (found, style) in enumerate(zip(effects, group_styles(groups))):
        for effect in found:
            if effect.gap is None:
                continue
            y = lever_names.index(lever_name(effect)) + offset(i)
            # No line where the repetitions are too few for an interval.
            if effect.gap.interval is not None:
                ax.plot([effect.gap.interval.low, effect.gap.interval.high], [y, y],
                        color=style.color, linewidth=2)
            ax.plot([effect.gap.value], [y], marker=style.marker, color=style.color,
                    markersize=6, linestyle="none")
    ax.axvline(0, color="black", linewidth=0.8)
    ax.set_yticks(range(len(lever_names)))
    ax.set_yticklabels([visible(name) for name in lever_names])
    ax.set_ylim(len(lever_names) - 0.5, -0.5)
    ax.set_xlabel("ticks (µs): difference of medians against the base row, "
                  f"{st.CONFIDENCE_TEXT} interval")
    ax.set_title("what each lever moves" + (" in each file" if len(effects) > 1 else "")
                 + " (below 0: fewer ticks)", fontsize=10, loc="left")
    ax.grid(True, axis="x", alpha=0.3)


class ChangeMark(NamedTuple):
    """A row's change on one side against the first, as the report has it:
    in % of the first side's median, with its interval and verdict."""

    row: str
    side: int  # 1 for side B
    percent: float
    interval: Interval | None
    verdict: str | None


def change_marks(report: SidesReport) -> list[ChangeMark]:
    """The changes drawn: each row's (in the report's order, the bench's)
    on each side after the first, where the report has one in %."""
    marks = []
    for compared in report.rows:
        for k, c in enumerate(compared.others, 1):
            if c.change is None or c.change.percent is None:
                continue
            marks.append(ChangeMark(compared.row, k, c.change.percent, c.percent,
                                    None if c.verdict is None else c.verdict.value))
    return marks


# The marks of the verdicts: filled, hollow, a cross without one.
VERDICT_MARKS = {"differs": ("o", True), "no change shown": ("o", False), None: ("x", True)}


def draw_changes(ax: Axes, report: SidesReport) -> None:
    """Each row's change on each side against the first, in %, with its
    interval: filled where it differs, hollow where no change is shown, a
    cross where the runs are too few for a verdict."""
    from matplotlib.lines import Line2D

    rows = [compared.row for compared in report.rows]
    others = len(report.sides) - 1
    offset = offsets(others)
    every_style = styles()
    for mark in change_marks(report):
        color = every_style[mark.side % len(every_style)].color
        y = rows.index(mark.row) + offset(mark.side - 1)
        if mark.interval is not None:
            ax.plot([mark.interval.low, mark.interval.high], [y, y], color=color, linewidth=2,
                    gid=f"interval {mark.side} {mark.row}")
        shape, filled = VERDICT_MARKS[mark.verdict]
        ax.plot([mark.percent], [y], marker=shape, markersize=7, linestyle="none",
                color=color, markerfacecolor=color if filled else "white",
                markeredgewidth=1.5, gid=f"change {mark.side} {mark.row}")
        # The change in words beyond the interval's high end.
        words = f"{mark.percent:+.1f}%" + (" differs" if mark.verdict == "differs" else "")
        end = mark.percent if mark.interval is None else mark.interval.high
        ax.annotate(words, (end, y), xytext=(5, 0), textcoords="offset points", ha="left",
                    va="center", fontsize=8, color=color,
                    bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none", "pad": 1})
    ax.axvline(0, color="black", linewidth=0.8)
    # Room on the right for the words beyond the intervals.
    low, high = ax.get_xlim()
    ax.set_xlim(low, high + 0.1 * (high - low))
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([visible(row) for row in rows])
    ax.set_ylim(len(rows) - 0.5, -0.5)
    first = visible(report.sides[0].name)
    ax.set_xlabel(f"% of {first}'s median: each side's median of its runs' medians less "
                  f"{first}'s, interval at the family's cut\nbelow 0: fewer ticks; filled: "
                  "differs; hollow: no change shown; x: too few runs for a verdict")
    ax.set_title(f"each row's change against {first}", fontsize=10, loc="left")
    ax.grid(True, axis="x", alpha=0.3)
    handles = [Line2D([], [], color=every_style[k % len(every_style)].color, marker="o",
                      linestyle="none", label=visible(report.sides[k].name))
               for k in range(1, others + 1)]
    legend_above(ax, handles)


def measured_levers(results: list[Results]) -> list[str]:
    """The names of the levers drawn: those whose base row every file that
    has the lever measured, as lever_effects finds them, in their order."""
    names: list[str] = []
    for r in results:
        for lever in r.levers:
            for counter in ["ticks"] + ([lever.counter] if lever.counter != "ticks" else []):
                name = f"{lever.row} ({counter})"
                if counter in r.values.get(lever.base, {}) and name not in names:
                    names.append(name)
    return names


def panel_heights(results: list[Results], sides: int = 0) -> list[float]:
    """The height of each panel in inches: the rows, where the ticks go (if
    a file has the parts row), the levers (if any), the changes against
    the first of `sides` (if two or more)."""
    grow = max(1, len(results)) ** 0.5
    heights = [ROW_HEIGHT * len(rows_of(results)) * grow + PANEL_MARGIN]
    parts = sum(PARTS_ROW in r.values for r in results)
    if parts:
        heights.append(PARTS_HEIGHT * parts + PANEL_MARGIN)
    levers = len(measured_levers(results))
    if levers:
        heights.append(LEVER_HEIGHT * levers * grow + PANEL_MARGIN)
    if sides > 1:
        heights.append(ROW_HEIGHT * len(rows_of(results)) * (sides - 1) ** 0.5 + PANEL_MARGIN)
    return heights


def check_size(results: list[Results], path: str, sides: int = 0) -> None:
    """Refuses a picture too tall to draw, before anything is printed."""
    pixels = (sum(panel_heights(results, sides)) + 0.6) * DPI
    if pixels > MOST_PIXELS:
        raise Unusable(f"--plot {path}: {len(rows_of(results))} rows and "
                       f"{len(measured_levers(results))} levers of {len(results)} file"
                       f"{'' if len(results) == 1 else 's'} "
                       f"would be {pixels:.0f} pixels tall; at most {MOST_PIXELS} are drawn")


def plot(results: list[Results], names: list[str], path: str,
         groups: list[str] | None = None, report: SidesReport | None = None,
         effects: list[list[LeverEffect]] | None = None) -> None:
    """Draws the files into `path`, a .png or .svg; `names` are theirs in
    the tables, `groups` each file's side or host (else its name), `report`
    the sides' comparison, whose changes are drawn, `effects` each file's
    levers as its report has them. Names are drawn as
    they are printed, their control characters escaped, and never read as
    matplotlib's mathematics (where a "$" would start it)."""
    with matplotlib.rc_context({"text.parse_math": False}):
        fig = figure(results, [visible(name) for name in names],
                     [visible(g) for g in groups or names], report, effects)
        try:
            save(fig, path)
        except OSError as error:
            raise Lost(f"--plot {path}: {error.strerror}") from None


def figure(results: list[Results], names: list[str], groups: list[str],
           report: SidesReport | None = None,
           effects: list[list[LeverEffect]] | None = None) -> Figure:
    """The picture, its panels from the top: rows, parts, levers, changes.
    The levers' effects are those of the report where it has them (one
    file's); of several files, no report has each file's, and they are
    found here."""
    rows = rows_of(results)
    parts = [i for i, r in enumerate(results) if PARTS_ROW in r.values]
    if effects is None:
        effects = [lever_effects(r) for r in results]
    lever_names = measured_levers(results)
    sides = len(report.sides) if report is not None else 0
    heights = panel_heights(results, sides)
    fig = Figure(figsize=(WIDTH, sum(heights) + 0.6))
    axes = list(fig.subplots(len(heights), 1, squeeze=False,
                             gridspec_kw={"height_ratios": heights})[:, 0])
    draw_rows(axes.pop(0), results, groups, rows)
    if parts:
        draw_parts(axes.pop(0), [results[i] for i in parts], [names[i] for i in parts])
    if lever_names:
        draw_levers(axes.pop(0), effects, lever_names, groups)
    if report is not None and sides > 1:
        draw_changes(axes.pop(0), report)
    fig.tight_layout()
    return fig


def save(fig: Figure, path: str) -> None:
    """Writes the picture to a temporary file beside `path` (beside its
    target, where it is a symbolic link, so that a link stays a link) and
    renames it over `path` once it is whole: a picture that cannot be
    written leaves the one before as it was. A device or a FIFO is written
    directly."""
    target = os.path.realpath(path)
    form = os.path.splitext(path)[1][1:]
    try:
        before: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        before = None
    if before is not None and not stat.S_ISREG(before.st_mode):
        if stat.S_ISDIR(before.st_mode):
            raise IsADirectoryError(21, os.strerror(21))
        fig.savefig(target, dpi=DPI, format=form)
        return
    if before is not None:
        mode = stat.S_IMODE(before.st_mode)
    else:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.",
                                     dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as f:
            fig.savefig(f, dpi=DPI, format=form)
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


# The history's picture: a panel a row, so high.
HISTORY_PANEL_HEIGHT = 2.6


def history_rows(report: HistoryReport) -> list[str]:
    """The rows of the series in the bench's order: each series' rows in
    theirs, merged as the rows of several files are."""
    orders: dict[tuple[str, str], list[str]] = {}
    for s in report.series:
        orders.setdefault((s.host, s.label), []).append(s.row)
    return merged_rows(list(orders.values()))


def check_history_size(report: HistoryReport, path: str) -> None:
    """Refuses a history's picture too tall to draw, before anything is
    printed."""
    rows = len(history_rows(report))
    pixels = (HISTORY_PANEL_HEIGHT * max(rows, 1) + 0.6) * DPI
    if pixels > MOST_PIXELS:
        raise Unusable(f"--plot {path}: {rows} rows would be {pixels:.0f} pixels tall; "
                       f"at most {MOST_PIXELS} are drawn")


def drawn_date(date: str) -> Any:
    """A run's date as the time axis takes it: UTC without an offset (one
    without an offset is taken as UTC, as the history orders runs); None
    where it is not ISO 8601, or is beyond datetime's years in UTC."""
    from datetime import datetime, timezone

    try:
        when = datetime.fromisoformat(date)
        if when.tzinfo is not None:
            when = when.astimezone(timezone.utc).replace(tzinfo=None)
    except (ValueError, OverflowError):
        return None
    return when


# The longest date written in full where it cannot be drawn.
SHOWN_DATE = 40


class Places(NamedTuple):
    """Where each series' runs go on the time axis: their dates, or where
    `why` says why not, their places in their series, counted from 1 as
    the changes' table counts them."""

    places: list[list[Any]]
    why: str | None


def in_order(report: HistoryReport, why: str) -> Places:
    return Places([list(range(1, len(s.dates) + 1)) for s in report.series], why)


def undrawn(date: str) -> str:
    """Why a date that drawn_date() does not take is not drawn."""
    from datetime import datetime

    if not date:
        return "no date"
    shown = date if len(date) <= SHOWN_DATE else date[:SHOWN_DATE] + "..."
    try:
        datetime.fromisoformat(date)
    except ValueError:
        return f"the date '{shown}', not ISO 8601"
    return f"the date '{shown}', beyond the years of a time axis in UTC"


def run_places(report: HistoryReport) -> Places:
    """The runs by date, where every run of every series has one the time
    axis takes (the panels share it); else every run in its order, as the
    history orders runs that have no date."""
    for s in report.series:
        for i, date in enumerate(s.dates):
            if drawn_date(date) is None:
                name = s.host + (f" ({s.label})" if report.labels_shown else "")
                return in_order(report, f"run {i + 1} of {name} has {undrawn(date)}")
    return Places([[drawn_date(d) for d in s.dates] for s in report.series], None)


def plot_history(report: HistoryReport, path: str) -> str | None:
    """Draws each row's run medians over time into `path`, a panel a row
    and a colour a host (and label): each period's median as a line over
    its dates, each change point as a dashed line at its first run (dotted
    where found relative to the run's load) with its change and the
    context entries that changed there. Every panel's axis starts at 0, so
    that a change looks as large as it is against the row's ticks. Where a
    run has no date the axis takes, or the dates are beyond the years it
    can draw (1 to 9999 with room around them), every run is drawn at its
    place in its series instead: what is returned then says so."""
    from matplotlib.units import ConversionError

    with matplotlib.rc_context({"text.parse_math": False}):
        places = run_places(report)
        try:
            fig = history_figure(report, places)
            fig.draw_without_rendering()
        except (ValueError, OverflowError, ConversionError) as error:
            if places.why is not None:
                raise Unusable(f"--plot {path}: the history cannot be drawn: "
                               f"{str(error).splitlines()[0]}") from None
            dates = [d for series in places.places for d in series]
            places = in_order(report, f"the dates, {min(dates).date()} to {max(dates).date()} "
                              "UTC, are beyond the years a time axis can draw")
            fig = history_figure(report, places)
        try:
            save(fig, path)
        except OSError as error:
            raise Lost(f"--plot {path}: {error.strerror}") from None
    if places.why is None:
        return None
    return f"--plot {path}: the runs are drawn in their order in their series: {places.why}"


def cause(change: ChangePoint) -> str:
    """A change point in words: its change, how it was found and its
    verdict, then the context entries that changed there."""
    size = (f"{change.change.percent:+.1f}%" if change.change.percent is not None
            else f"{change.change.difference:+.1f} ticks")
    verdict = f", {change.verdict.value}" if change.verdict is not None else ""
    entries = "; ".join(change.context) or "no context entry changed"
    return visible(f"{size} (found {change.found}{verdict}): {entries}")


# Where the first cause of a panel is written, and how far apart the next
# ones are, in shares of the panel's height: in the room that an axis from
# 0 leaves below the medians, CAUSE_PLACES of them, then from the first
# again.
CAUSE_FROM = 0.04
CAUSE_STEP = 0.13
CAUSE_PLACES = 4


def history_figure(report: HistoryReport, places: Places | None = None) -> Figure:
    """The history's picture: a panel a row, the rows in the bench's order;
    the runs where `places` puts them (else run_places())."""
    places = places or run_places(report)
    rows = history_rows(report)
    fig = Figure(figsize=(WIDTH, HISTORY_PANEL_HEIGHT * max(len(rows), 1) + 0.6))
    axes = list(fig.subplots(max(len(rows), 1), 1, squeeze=False, sharex=True)[:, 0])
    names = list(dict.fromkeys((s.host, s.label) for s in report.series))
    every_style = styles()
    for ax, row in zip(axes, rows):
        top = 0.0
        causes = 0
        for s, times in ((s, t) for s, t in zip(report.series, places.places) if s.row == row):
            style = every_style[names.index((s.host, s.label)) % len(every_style)]
            ax.plot(times, s.medians, linestyle="none", marker=style.marker, markersize=3,
                    color=style.color, alpha=0.6)
            top = max([top] + [m for m in s.medians if math.isfinite(m)])
            start = 0
            for period in s.periods:
                ax.plot([times[start], times[start + period.runs - 1]],
                        [period.median] * 2, color=style.color, linewidth=2)
                start += period.runs
            for change in s.changes:
                # Dotted where found relative to the run's load only.
                ax.axvline(times[change.at], color=style.color,
                           linestyle=":" if change.found == "relative" else "--", linewidth=1)
                # Beside the line, on the side with more room.
                left = change.at > len(times) / 2
                place = CAUSE_FROM + CAUSE_STEP * (causes % CAUSE_PLACES)
                ax.annotate(cause(change), (times[change.at], place),
                            xycoords=("data", "axes fraction"), xytext=(-3 if left else 3, 0),
                            textcoords="offset points", fontsize=8, color=style.color,
                            ha="right" if left else "left", va="bottom", gid=f"cause {row}",
                            bbox={"facecolor": "white", "alpha": 0.8, "edgecolor": "none",
                                  "pad": 1})
                causes += 1
        ax.set_ylim(0, top * 1.08 if top > 0 else 1)
        ax.set_title(visible(row), fontsize="medium", loc="left")
        ax.set_ylabel("run median, ticks")
        ax.grid(True, axis="y", alpha=0.3)
    if rows and len(names) <= len(every_style):
        # Once, over the first panel: a host has its colour in every panel.
        from matplotlib.lines import Line2D

        legend_above(axes[0], [
            Line2D([], [], color=every_style[i].color, marker=every_style[i].marker,
                   linestyle="none", label=visible(host + (f" ({label})" if report.labels_shown
                                                           else "")))
            for i, (host, label) in enumerate(names)])
    if not rows:
        axes[0].set_title("no runs")
    if places.why is not None:
        from matplotlib.ticker import MaxNLocator

        axes[-1].xaxis.set_major_locator(MaxNLocator(integer=True))
        axes[-1].set_xlabel(visible(f"run, counted from 1 in its series, not by date: "
                                    f"{places.why}"), fontsize=9)
    fig.autofmt_xdate()
    fig.tight_layout()
    return fig
