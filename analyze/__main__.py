"""The command line of thread-start-analyze: a command a report, each a
function of its own (report, runs, compare, fleet, store add, history),
and the older command line without commands, which still works and says
which command it now is.

Exit status: 0 done, 1 standard output, the picture or the store lost,
memory run out, or a row slower than compare --fail-if-slower allows (told
apart by the line on standard error), 2 a usage error, an unusable file or a missing Python
library; interrupted by SIGINT, it dies of it (130 in a shell) without a
traceback.

Only what every call needs is imported here; each command imports its
report, and so numpy, scipy or matplotlib, once the call is known to need
it and the libraries to be there.
"""

from __future__ import annotations

import argparse
import errno
import io
import math
import os
import signal
import sys
from typing import TYPE_CHECKING, Callable, TextIO

from .errors import PROG, Lost, Parser, Unusable, need
from .estimates import LEAST_FOR_INTERVAL
from .reader import Group, Results, read_all, refuse_duplicates
from .tables import FORMATS, Output, visible

if TYPE_CHECKING:
    from .effects import LeverEffect
    from .sides import SidesReport

PICTURE_ENDINGS = (".png", ".svg")
EXIT_STATUS = ("Exit status: 0 done; 1 standard output or the picture could not be "
               "written, memory ran out, or (compare --fail-if-slower) a row slower "
               "than allowed, told apart by the line on standard error; 2 a usage "
               "error, an unusable file or a missing library.")
# A command's own: without the gate, and without a picture where it draws none.
EXIT_STATUS_OF = {
    "compare": EXIT_STATUS,
    "store": "Exit status: 0 done; 1 standard output or the store could not be written, "
             "or memory ran out; 2 a usage error, an unusable file or store, or a "
             "missing library.",
}
DRAWN_EXIT_STATUS = ("Exit status: 0 done; 1 standard output or the picture could not be "
                     "written, or memory ran out; 2 a usage error, an unusable file or a "
                     "missing library.")
Command = Callable[[argparse.Namespace, Output], int]


def add_format(p: argparse.ArgumentParser, tables: bool = True, plot: str | None = None) -> None:
    """The options of the output: its format, the one table asked for, and
    the picture where the command draws one."""
    p.add_argument("--format", choices=FORMATS, default="text",
                   help="how tables are printed (default text)")
    if tables:
        p.add_argument("--table", metavar="NAME",
                       help="the one table to print, by its name in CSV")
    if plot is not None:
        p.add_argument("--plot", metavar="OUT.png|OUT.svg", help=plot)


def add_group(p: argparse.ArgumentParser, what: str) -> None:
    p.add_argument("--group", nargs="+", action="append", metavar=("NAME", "FILE.json"),
                   help=what)


def add_dates(p: argparse.ArgumentParser) -> None:
    p.add_argument("--since", metavar="DATE",
                   help="runs dated DATE or later (YYYY-MM-DD, or a date and time)")
    p.add_argument("--until", metavar="DATE",
                   help="runs dated DATE or earlier (a day: to its end)")


def percent(text: str) -> float:
    """A threshold in percent: a finite number, 0 or more."""
    number = text[:-1] if text.endswith("%") else text
    try:
        value = math.nan if "_" in number else float(number)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a percentage of 0 or more")
    return value


FILES = "written by thread-start-bench --benchmark_out=FILE.json"


def parser() -> Parser:
    top = Parser(
        prog=PROG,
        description="Summarise thread-start-bench results files, compare them, and follow "
                    "them over time. Each command has its own --help.",
        epilog="Every difference is a row or side less the one it is measured against: "
               "negative = fewer ticks. Without a command first, the older command line "
               f"({PROG} FILE.json..., --fleet, --store PATH ...) still works, and says "
               "which command it is. " + EXIT_STATUS)
    # Answered by main before parsing; here for --help.
    top.add_argument("--version", action="store_true", help="print the version and exit")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                  parser_class=Parser)

    def command(name: str, function: Command, summary: str, epilog: str = "") -> Parser:
        p: Parser = commands.add_parser(name, help=summary, description=summary,
                                        epilog=epilog + (" " if epilog else "")
                                        + EXIT_STATUS_OF.get(name, DRAWN_EXIT_STATUS),
                                        allow_abbrev=False)
        p.set_defaults(function=function)
        return p

    p = command("report", report_command, "One run: the answer, each row's median and "
                "percentiles, the gaps between rows, where the ticks go and each lever.",
                f"An interval needs {LEAST_FOR_INTERVAL} repetitions of a row, one more of "
                "each row for a difference, more for several levers at once; below that "
                "the value is shown with 'too few repetitions'.")
    p.add_argument("file", metavar="FILE.json", help=FILES)
    add_format(p, plot="draw the rows and where the ticks go")

    p = command("runs", runs_command, "Runs of one thing (one label, or one --group): each "
                "row's median of the runs' medians and each lever across them, the run as "
                "the unit.", "An interval and a verdict need at least 6 runs.")
    p.add_argument("files", nargs="*", metavar="FILE.json", help=FILES + ", all of one label")
    add_group(p, "the runs: a name, then their files (instead of files of one label)")
    add_format(p, plot="draw the runs' rows")

    p = command("compare", compare_command, "Sides compared row by row, the run as the unit: "
                "the files of each label a side, or each --group.",
                "A verdict needs the least p the rank test can reach, 2 / C(m + n, m) of m "
                "runs against n, at or below the family's cut: 4 runs a side for one row, 5 or "
                "6 for the nine rows of a default run. Make the sides alternately. Every "
                "side is compared with the first.")
    p.add_argument("files", nargs="*", metavar="FILE.json", help=FILES)
    add_group(p, "a side: its name, then its files (repeatable; files given apart make a "
                 "side 'others')")
    p.add_argument("--runs", action="store_true",
                   help="each run's median of every row and its load average (always shown "
                        "for a row with no change shown whose interval is wider than 10 %% "
                        "of the first side's median)")
    p.add_argument("--fail-if-slower", metavar="PCT", type=percent,
                   help="exit with status 1 where a row of a side differs from the first "
                        "side's, slower by more than PCT %% of its median, naming the rows "
                        "on standard error")
    p.add_argument("--paired", action="store_true",
                   help="two sides of as many runs, made alternately (A B A B ...): the i-th "
                        "run of each side paired, in the order of their dates, and each row "
                        "judged by the signed-rank test on the pairs' differences")
    add_format(p, plot="draw the sides' runs' rows")

    p = command("fleet", fleet_command, "One line per host (the files' label or host_name, "
                "or --group), the hosts that stand out marked, and why.",
                "Outliers need 3 hosts of 2 runs at least.")
    p.add_argument("files", nargs="*", metavar="FILE.json", help=FILES)
    add_group(p, "a host: its name, then its files (repeatable)")
    p.add_argument("--store", metavar="PATH", help="the runs of the results store PATH "
                                                   "instead of files")
    add_dates(p)
    p.add_argument("--latest", metavar="N", type=int,
                   help="with --store: the N latest runs of each host")
    add_format(p, plot="draw the hosts' runs")

    store = command("store", store_command, "The results store: an SQLite database of runs.")
    actions = store.add_subparsers(dest="action", metavar="ACTION", required=True,
                                   parser_class=Parser)
    p = actions.add_parser("add", help="add the files' runs to the store PATH (made if "
                           "absent), each run once", description="Add the files' runs to the "
                           "results store PATH, made if absent: all of them, or none where "
                           "one cannot be read. " + EXIT_STATUS_OF["store"],
                           allow_abbrev=False)
    p.add_argument("store", metavar="PATH", help="the store, an SQLite database")
    p.add_argument("files", nargs="+", metavar="FILE.json", help=FILES)
    add_format(p, tables=False)

    p = command("history", history_command, "Each host's run medians of each row over time, "
                "as periods between change points, from a results store.")
    p.add_argument("--store", metavar="PATH", required=True, help="the results store")
    p.add_argument("--host", action="append", metavar="HOST",
                   help="this host only (repeatable)")
    p.add_argument("--row", action="append", metavar="ROW", help="this row only (repeatable)")
    p.add_argument("--label", action="append", metavar="LABEL",
                   help="runs of this label only (repeatable)")
    add_dates(p)
    add_format(p, plot="draw the run medians over time")
    return top


def old_parser() -> Parser:
    """The command line before commands, as it was."""
    parser = Parser(
        prog=PROG,
        description="Summarise one thread-start-bench results file, or compare several "
                    f"(the older command line: see {PROG} --help for the commands).",
        epilog="Files with the same --label of the bench form one side; --group names "
               "a side's files explicitly. Files of one label only (or one --group) are "
               "runs of one thing. " + EXIT_STATUS,
    )
    parser.add_argument("files", nargs="*", metavar="FILE.json", help=FILES)
    parser.add_argument("--group", nargs="+", action="append", metavar=("NAME", "FILE.json"),
                        help="a side of the comparison: its name, then its files")
    parser.add_argument("--fleet", action="store_true", help="one line per host")
    parser.add_argument("--runs", action="store_true",
                        help="with sides: each run's median of every row and its load average")
    parser.add_argument("--format", choices=FORMATS, default="text",
                        help="how tables are printed (default text)")
    parser.add_argument("--table", metavar="NAME", help="only this table of the report")
    parser.add_argument("--plot", metavar="OUT.png|OUT.svg", help="draw the rows")
    parser.add_argument("--store", metavar="PATH",
                        help="add the files' runs to the results store PATH; with --fleet or "
                             "--history, report on its runs")
    parser.add_argument("--history", action="store_true",
                        help="with --store: the run medians over time")
    parser.add_argument("--host", action="append", metavar="HOST",
                        help="with --history: this host only (repeatable)")
    parser.add_argument("--row", action="append", metavar="ROW",
                        help="with --history: this row only (repeatable)")
    parser.add_argument("--label", action="append", metavar="LABEL",
                        help="with --history: runs of this label only (repeatable)")
    parser.add_argument("--since", metavar="DATE",
                        help="with --store and --fleet or --history: runs dated DATE or later")
    parser.add_argument("--until", metavar="DATE",
                        help="with --store and --fleet or --history: runs dated DATE or "
                             "earlier")
    parser.add_argument("--latest", metavar="N", type=int,
                        help="--store --fleet: the N latest runs of each host")
    return parser


def note(text: str) -> None:
    """A line on standard error about the call itself, not its results."""
    print(f"{PROG}: note: {visible(text)}", file=sys.stderr)


def check_plot(plot: str | None) -> None:
    if plot is not None:
        base, ending = os.path.splitext(plot)
        if ending not in PICTURE_ENDINGS or not os.path.basename(base):
            raise Unusable(f"--plot {plot!r}: the picture's name must end in .png or .svg")


def check_groups(groups: list[list[str]]) -> None:
    for group in groups:
        if len(group) < 2:
            raise Unusable(f"--group {group[0]}: name the side's files after its name")


def check_dates(since: str | None, until: str | None) -> None:
    from .store import bound

    for option, text, end in (("--since", since, False), ("--until", until, True)):
        if text is not None:
            bound(option, text, end)


def needs(scipy: bool, plot: str | None) -> None:
    """What the call needs, asked for before anything is read or printed."""
    need("numpy", "python3-numpy")
    if scipy:
        need("scipy.stats", "python3-scipy")
    if plot:
        need("matplotlib", "python3-matplotlib")


def read_groups(groups: list[list[str]]) -> list[Group]:
    results = iter(read_all([path for g in groups for path in g[1:]], Results.read))
    return [Group(g[0], [next(results) for _ in g[1:]]) for g in groups]


def drawn_first(drawn: list[Results], plot: str | None, sides: int = 0) -> None:
    """Refuses a picture too large to draw, before anything is printed."""
    if plot:
        from .plot import check_size

        check_size(drawn, plot, sides)


def draw(drawn: list[Results], plot: str | None, out: Output, groups: list[Group] | None = None,
         report: SidesReport | None = None,
         effects: list[list[LeverEffect]] | None = None) -> None:
    """The picture of `drawn`: coloured by group where there are groups, with
    the comparison's changes where there is its report, and the levers'
    effects of the report that has them."""
    if plot:
        from .files import name_of
        from .plot import plot as plot_results

        plot_results(drawn, [name_of(r, drawn) for r in drawn], plot,
                     [g.name for g in groups or [] for _ in g.files] or None, report, effects)
        out.note(f"picture: {plot}")


def do_report(r: Results, plot: str | None, out: Output) -> int:
    from .one_file import one_file_report, print_one_file

    drawn_first([r], plot)
    report = one_file_report(r)
    print_one_file(report, out)
    draw([r], plot, out, effects=[report.levers])
    return 0


def do_runs(group: Group, plot: str | None, out: Output) -> int:
    from .label_runs import label_runs_report, print_label_runs

    drawn_first(group.files, plot, 1)
    print_label_runs(label_runs_report(group), out)
    draw(group.files, plot, out, [group])
    return 0


def do_compare(groups: list[Group], runs: bool, slower: float | None, plot: str | None,
               out: Output, paired: bool = False) -> int:
    """The sides compared; with `slower`, the gate: 1 where a row of a
    side is slower than allowed, the rows named on standard error; with
    `paired`, two sides' runs paired in the order made."""
    from .sides import gate, judged, no_verdict_reason, print_sides, sides_report

    if len(groups) < 2:
        raise Unusable("one side only: give files of two labels, or two --group")
    if paired:
        from .paired import paired_groups

        groups = paired_groups(groups)
    drawn = [r for g in groups for r in g.files]
    drawn_first(drawn, plot, len(groups))
    report = sides_report(groups, paired)
    if slower is not None and report.paired is not None and report.paired.cut == 0:
        raise Unusable(f"--fail-if-slower: {report.fewest_runs} pairs are too few for any "
                       "`differs` of the paired rows; the gate needs one that can be")
    if slower is not None and report.paired is None and not judged(report):
        raise Unusable("--fail-if-slower: the gate needs a verdict, and none is possible: "
                       + (no_verdict_reason(report) or "no row measured on two sides"))
    print_sides(report, out, runs)
    draw(drawn, plot, out, groups, report)
    if slower is None:
        return 0
    out.stream.flush()
    found = gate(report, slower)
    if found.unjudged:
        note(f"--fail-if-slower={slower:g}: not judged (no verdict): "
             + ", ".join(found.unjudged))
    if found.slower:
        print(f"{PROG}: --fail-if-slower={slower:g}: slower: " + visible("; ".join(found.slower)),
              file=sys.stderr)
        return 1
    return 0


def do_fleet(groups: list[Group], plot: str | None, out: Output) -> int:
    from .fleet import fleet_report, print_fleet

    drawn = [r for g in groups for r in g.files]
    drawn_first(drawn, plot)
    print_fleet(fleet_report(groups), out)
    draw(drawn, plot, out, groups)
    return 0


def report_command(args: argparse.Namespace, out: Output) -> int:
    check_plot(args.plot)
    needs(False, args.plot)
    return do_report(Results.read(args.file), args.plot, out)


def runs_command(args: argparse.Namespace, out: Output) -> int:
    check_plot(args.plot)
    groups = args.group or []
    check_groups(groups)
    if groups and args.files:
        raise Unusable("runs: give the files of one label, or one --group, not both")
    if len(groups) > 1:
        raise Unusable(f"runs: {len(groups)} --group: runs are of one thing; sides are "
                       f"compared by '{PROG} compare'")
    if not groups and not args.files:
        raise Unusable("runs: give the files of the runs, or one --group")
    needs(True, args.plot)
    if groups:
        group = read_groups(groups)[0]
    else:
        results = read_all(args.files, Results.read)
        labels = list(dict.fromkeys(str(r.context.get("label") or "") for r in results))
        if len(labels) > 1:
            raise Unusable(f"runs: the files have {len(labels)} labels ("
                           + ", ".join(label or "none" for label in labels)
                           + f"): runs of one thing have one; sides are compared by "
                           f"'{PROG} compare'")
        group = Group(labels[0] or "runs", results)
    refuse_duplicates(group.files)
    return do_runs(group, args.plot, out)


def sides_of(files: list[str], groups: list[list[str]]) -> list[Group]:
    """The sides: each --group, then the files given apart as one side
    'others'; or, without --group, the files of each label."""
    from .sides import groups_of

    results = read_all(files, Results.read)
    explicit = read_groups(groups)
    refuse_duplicates(results + [r for g in explicit for r in g.files])
    if explicit and results:
        explicit.append(Group("others", results))
    return groups_of(results, explicit)


def compare_command(args: argparse.Namespace, out: Output) -> int:
    check_plot(args.plot)
    groups = args.group or []
    check_groups(groups)
    if not args.files and not groups:
        raise Unusable("compare: give the files of two labels, or two --group")
    needs(True, args.plot)
    return do_compare(sides_of(args.files, groups), args.runs, args.fail_if_slower,
                      args.plot, out, args.paired)


def from_store(path: str, since: str | None, until: str | None,
               latest: int | None) -> list[Results]:
    """The store's runs of the dates asked for, the latest of each host;
    an option that leaves out no run says so."""
    from .store import stored_results

    results = stored_results(path, since=since, until=until, latest=latest)
    chosen_of_store(path, len(results), since, until, latest)
    return results


def chosen_of_store(path: str, chosen: int, since: str | None, until: str | None,
                    latest: int | None) -> None:
    """Refuses a choice of no stored run; an option that leaves out no run
    says so."""
    from .store import count_runs

    if not chosen:
        raise Unusable(f"{path}: no stored run of the dates asked for")
    dated = count_runs(path, since=since, until=until)
    if (since or until) and dated == count_runs(path):
        note("--since/--until: every stored run is of the dates asked for: none left out")
    if latest is not None and chosen == dated:
        note(f"--latest {latest}: no host has more than {latest} runs"
             + (" of the dates asked for" if since or until else "") + ": every run kept")


def fleet_command(args: argparse.Namespace, out: Output) -> int:
    check_plot(args.plot)
    groups = args.group or []
    check_groups(groups)
    if args.store is not None:
        if args.files or groups:
            raise Unusable("fleet --store PATH reports on the store's runs: give no file "
                           "or --group")
        if args.latest is not None and args.latest < 1:
            raise Unusable(f"--latest {args.latest}: give 1 or more")
        check_dates(args.since, args.until)
    elif args.since or args.until or args.latest is not None:
        raise Unusable("--since, --until and --latest choose runs of a store: give --store")
    elif not args.files and not groups:
        raise Unusable("fleet: give the files, or --store PATH")
    needs(True, args.plot)
    if args.store is not None and not args.plot:
        # Each run's medians and their errors, not its repetitions: memory
        # that grows by a few numbers a run and row, not by repetitions.
        from .fleet import fleet_of_runs, print_fleet, runs_by_host
        from .store import stored_fleet

        runs = stored_fleet(args.store, args.since, args.until, args.latest)
        chosen_of_store(args.store, len(runs), args.since, args.until, args.latest)
        print_fleet(fleet_of_runs(runs_by_host(runs)), out)
        return 0
    if args.store is not None:
        # The picture draws every repetition.
        results = from_store(args.store, args.since, args.until, args.latest)
    else:
        results = read_all(args.files, Results.read)
    explicit = read_groups(groups)
    if args.store is None:
        refuse_duplicates(results + [r for g in explicit for r in g.files])
    if explicit and results:
        explicit.append(Group("others", results))
    from .fleet import hosts_of

    return do_fleet(explicit or hosts_of(results), args.plot, out)


def store_command(args: argparse.Namespace, out: Output) -> int:
    """store add PATH FILE...: every file read and checked (by a process
    per processor, where there are many), then their runs added in one
    transaction; one line says how many."""
    from .store import add_records, read_file

    needs(False, None)
    report = add_records(args.store, read_all(args.files, read_file))
    out.note(f"{args.store}: {report.added} runs added, {report.already} already there")
    return 0


def history_command(args: argparse.Namespace, out: Output) -> int:
    """The history of the store's runs, narrowed as asked; a --host,
    --label or --row that matches no run, or dates that leave out none,
    say so."""
    check_plot(args.plot)
    check_dates(args.since, args.until)
    needs(True, args.plot)
    from .history import history_report, print_history
    from .store import count_runs, stored_runs

    # Every row: each run's load, against which the rows asked for are
    # also tested, is the median over all of its rows.
    runs = stored_runs(args.store, args.host or (), (), args.label or (), args.since,
                       args.until)
    if not runs:
        raise Unusable(f"{args.store}: no stored run of the choice asked for")
    for option, asked, having in (("--host", args.host, {r.host for r in runs}),
                                  ("--label", args.label, {r.label for r in runs}),
                                  ("--row", args.row, {row for r in runs for row in r.medians})):
        for value in dict.fromkeys(asked or ()):
            if value not in having:
                note(f"{option} {value}: no stored run of the choice asked for has it")
    if runs and (args.since or args.until) and len(runs) == count_runs(args.store, args.host or (),
                                                               args.label or ()):
        note("--since/--until: every stored run is of the dates asked for: none left out")
    report = history_report(runs, args.row or ())
    if args.plot:
        from .plot import check_history_size

        check_history_size(report, args.plot)
    print_history(report, out)
    if args.plot:
        from .plot import plot_history

        drawn = plot_history(report, args.plot)
        out.note(f"picture: {args.plot}")
        if drawn is not None:
            out.note(drawn)
    return 0


def old_check_store(args: argparse.Namespace) -> None:
    """Refuses what the older --store cannot be given."""
    if args.group or args.runs:
        raise Unusable("--store: --group and --runs are not for a store")
    if args.fleet and args.files:
        raise Unusable("--store PATH --fleet reports on the store's runs: give no file")
    if not args.fleet and not args.files:
        raise Unusable("--store PATH: give the files to add, or --fleet")
    if not args.fleet and (args.since or args.until or args.latest is not None or args.plot
                           or args.table is not None):
        raise Unusable("--since, --until, --latest, --plot and --table go with --store PATH "
                       "--fleet")
    if args.latest is not None and args.latest < 1:
        raise Unusable(f"--latest {args.latest}: give 1 or more")
    check_dates(args.since, args.until)


def old_check(args: argparse.Namespace) -> None:
    """Refuses what the older command line refused, before anything is
    read."""
    check_plot(args.plot)
    check_groups(args.group or [])
    if args.history:
        if args.store is None:
            raise Unusable("--history needs --store PATH")
        if args.files or args.group or args.fleet or args.runs or args.latest is not None:
            raise Unusable("--history reads the store: give no files, --group, --fleet, "
                           "--runs or --latest")
        check_dates(args.since, args.until)
    elif args.host or args.row or args.label:
        raise Unusable("--host, --row and --label go with --store PATH --history")
    elif args.store is not None:
        old_check_store(args)
    elif args.since or args.until or args.latest is not None:
        raise Unusable("--since, --until and --latest choose runs of a store: give --store")
    elif not args.files and not args.group:
        raise Unusable("the following arguments are required: FILE.json")


def old_main(argv: list[str], stdout: TextIO) -> int:
    """The older command line: each call does what its command does, then
    says which command that is."""
    args = old_parser().parse_args(argv)
    old_check(args)
    out = Output(args.format, stdout, args.table)
    if args.history:
        command = "history"
        status = history_command(args, out)
    elif args.store is not None and not args.fleet:
        command = "store add"
        status = store_command(args, out)
    elif args.fleet:
        command = "fleet"
        status = fleet_command(args, out)
    else:
        groups = args.group or []
        needs(len(args.files) + sum(len(g) - 1 for g in groups) > 1, args.plot)
        sides = sides_of(args.files, groups)
        if len(sides) == 1 and len(sides[0].files) == 1 and not groups:
            command = "report"
            status = do_report(sides[0].files[0], args.plot, out)
        elif len(sides) == 1:
            command = "runs"
            status = do_runs(sides[0], args.plot, out)
        else:
            command = "compare"
            status = do_compare(sides, args.runs, None, args.plot, out)
    out.finish()
    stdout.flush()
    if args.runs and command != "compare":
        note(f"--runs changes nothing here: it shows each run of sides compared ({PROG} "
             "compare --runs)")
    note(f"this is '{PROG} {command} ...' now; the old form will keep working")
    return status


def main(argv: list[str], stdout: TextIO, version: str = "") -> int:
    """The call: a command, or the older command line where the first
    argument names none; `version` is the launcher's."""
    if argv[:1] == ["--version"]:
        if len(argv) > 1:
            raise Unusable(f"--version takes no other argument (try {PROG} --help)")
        if not version:
            raise Unusable(f"--version: run as a module, the analysis has no version; {PROG} "
                           "gives it")
        print(f"{PROG} {version}", file=stdout)
        return 0
    if argv and argv[0] not in ("report", "runs", "compare", "fleet", "store", "history",
                                "-h", "--help"):
        return old_main(argv, stdout)
    args, extra = parser().parse_known_args(argv)
    if extra:
        name = args.command + (f" {args.action}" if args.command == "store" else "")
        foreign = next((e for e in extra if e.startswith("-")), None)
        if foreign is None:
            raise Unusable(f"{name}: unrecognized arguments: {' '.join(extra)}")
        raise Unusable(f"{name} takes no {foreign.split('=')[0]} (its options: {PROG} {name} "
                       "--help)")
    function: Command = args.function
    out = Output(args.format, stdout, getattr(args, "table", None))
    status = function(args, out)
    out.finish()
    return status


class ClosedOutput(io.TextIOBase):
    """Standard output that was closed when the call started: every write
    is lost, as a write to a closed descriptor is."""

    def write(self, text: str) -> int:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))


def stdout_stream() -> TextIO:
    """Standard output; where it was closed, a stream that fails every
    write, and /dev/null on descriptor 1 so that no file opened later
    takes its place."""
    if sys.stdout is not None:
        return sys.stdout
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        if null != 1:
            os.dup2(null, 1)
            os.close(null)
    except OSError:
        pass
    return ClosedOutput()


def die_of_sigint() -> None:
    """Ends the process by SIGINT itself, so that its caller sees that it
    was interrupted (130 in a shell), as a tool without a handler does."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGINT)


def run(argv: list[str], version: str = "") -> int:
    """The whole call: its status, with any refusal said in one line on
    standard error. `version` is the project's, which the launcher gives."""
    # A reader that has gone ends it quietly, as it ends other tools.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    stdout = stdout_stream()
    try:
        status = main(argv, stdout, version)
        stdout.flush()
    except Unusable as error:
        print(f"{PROG}: {visible(str(error))}", file=sys.stderr)
        return 2
    except Lost as error:
        print(f"{PROG}: {visible(str(error))}", file=sys.stderr)
        return 1
    except OSError as error:
        # Standard output lost: a full device, a closed descriptor. What is
        # left in the buffer cannot be written either: the descriptor goes
        # to /dev/null so that the flush at exit says nothing.
        try:
            if sys.stdout is not None:
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            print(f"{PROG}: standard output: {error.strerror}", file=sys.stderr)
        except OSError:
            pass
        return 1
    except MemoryError:
        # A limit on memory (ulimit -v, a container's) met while reading:
        # nothing was written, and no result is given.
        print(f"{PROG}: out of memory: the files or the store need more than this "
              f"process may have (ulimit -v); no result given", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        # Whatever was being written has been cleaned up on the way here.
        die_of_sigint()
        raise
    return status


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
