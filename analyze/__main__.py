"""The command line of thread-start-analyze, and a function for each of its
modes: one file, several runs of one label, sides of several files, a
fleet, and the picture.

Exit status: 0 done, 1 standard output or the picture lost, 2 a usage
error, an unusable file or a missing Python library; interrupted by
SIGINT, it dies of it (130 in a shell) without a traceback.

Only what every call needs is imported here; each mode imports its report,
and so numpy, scipy or matplotlib, once the call is known to need it and
the libraries to be there.
"""

from __future__ import annotations

import argparse
import errno
import io
import os
import signal
import sys
from typing import TYPE_CHECKING, TextIO

from .errors import PROG, Lost, Parser, Unusable, need
from .estimates import LEAST_FOR_INTERVAL
from .reader import Group, Results, refuse_duplicates
from .tables import FORMATS, Output, visible

if TYPE_CHECKING:
    from .sides import SidesReport

PICTURE_ENDINGS = (".png", ".svg")


def parser() -> Parser:
    parser = Parser(
        prog=PROG,
        description="Summarise one thread-start-bench results file, or compare several.",
        epilog="Files with the same --label of the bench form one side; --group names "
               "a side's files explicitly. Files of one label only (or one --group) are "
               "runs of one thing: each row's median and each lever's effect across them, "
               "with the run as the unit; an interval and a verdict need at least 6 runs. "
               "One file: an interval of a median, or of a difference of medians, from "
               f"{LEAST_FOR_INTERVAL} repetitions of each row on; below that the value is "
               "shown with 'too few repetitions', no interval and no verdict. 6 is the "
               "fewest values whose least and greatest bound a 95% interval of their "
               "median. Every difference is a row or side less the one it is measured "
               "against: negative = fewer ticks. Exit status: 0 done, 2 a usage error, an "
               "unusable file or a missing library.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE.json",
                        help="written by thread-start-bench --benchmark_out=FILE.json")
    parser.add_argument("--group", nargs="+", action="append", metavar=("NAME", "FILE.json"),
                        help="a side of the comparison: its name, then its files")
    parser.add_argument("--fleet", action="store_true",
                        help="one line per host (the files' label or host_name, or --group), "
                             "the hosts that stand out marked: 3 hosts of 2 runs at least")
    parser.add_argument("--runs", action="store_true",
                        help="with several files: each run's median of every row and its load "
                             "average (always shown for a row with no change shown whose "
                             "interval is wider than 10 %% of the first side's median)")
    parser.add_argument("--format", choices=FORMATS, default="text",
                        help="how tables are printed (default text)")
    parser.add_argument("--table", metavar="NAME", help="only this table of the report (CSV "
                        "gives one table: without --table the first, its name and the "
                        "others' on standard error)")
    parser.add_argument("--plot", metavar="OUT.png|OUT.svg",
                        help="draw the rows and where the ticks go; with --history, "
                             "the run medians over time")
    parser.add_argument("--store", metavar="PATH",
                        help="add the files' runs to the results store PATH (an SQLite "
                             "database, made if absent); with --fleet or --history, report "
                             "on its runs")
    parser.add_argument("--history", action="store_true",
                        help="with --store: each host's run medians of each row over time, "
                             "as periods between change points")
    parser.add_argument("--host", action="append", metavar="HOST",
                        help="with --history: this host only (repeatable)")
    parser.add_argument("--row", action="append", metavar="ROW",
                        help="with --history: this row only (repeatable)")
    parser.add_argument("--label", action="append", metavar="LABEL",
                        help="with --history: runs of this label only (repeatable)")
    parser.add_argument("--since", metavar="DATE",
                        help="with --store and --fleet or --history: runs dated DATE or later "
                             "(YYYY-MM-DD, or a date and time)")
    parser.add_argument("--until", metavar="DATE",
                        help="with --store and --fleet or --history: runs dated DATE or "
                             "earlier (a day: to its end)")
    parser.add_argument("--latest", metavar="N", type=int,
                        help="--store --fleet: the N latest runs of each host")
    return parser


def check(args: argparse.Namespace) -> None:
    """Refuses what can be refused before anything is read."""
    if args.plot is not None:
        base, ending = os.path.splitext(args.plot)
        if ending not in PICTURE_ENDINGS or not os.path.basename(base):
            raise Unusable(f"--plot {args.plot!r}: the picture's name must end in .png or .svg")
    for group in args.group or []:
        if len(group) < 2:
            raise Unusable(f"--group {group[0]}: name the side's files after its name")
    if args.history:
        check_history(args)
    elif args.host or args.row or args.label:
        raise Unusable("--host, --row and --label go with --store PATH --history")
    elif args.store is not None:
        from .store import check_command

        check_command(args)
    elif args.since or args.until or args.latest is not None:
        raise Unusable("--since, --until and --latest choose runs of a store: give --store")
    elif not args.files and not args.group:
        raise Unusable("the following arguments are required: FILE.json")


def check_history(args: argparse.Namespace) -> None:
    """Refuses the options of a history that do not fit together."""
    from .store import bound

    if args.store is None:
        raise Unusable("--history needs --store PATH")
    if args.files or args.group or args.fleet or args.runs or args.latest is not None:
        raise Unusable("--history reads the store: give no files, --group, --fleet, --runs "
                       "or --latest")
    for option, text, end in (("--since", args.since, False), ("--until", args.until, True)):
        if text is not None:
            bound(option, text, end)


def run_history(args: argparse.Namespace, out: Output) -> None:
    """The history of the store's runs, narrowed as asked."""
    from .history import history_report, print_history
    from .store import stored_runs

    # Every row: each run's load, against which the rows asked for are
    # also tested, is the median over all of its rows.
    runs = stored_runs(args.store, args.host or (), (), args.label or (), args.since, args.until)
    report = history_report(runs, args.row or ())
    if args.plot:
        from .plot import check_history_size

        check_history_size(report, args.plot)
    print_history(report, out)
    if args.plot:
        from .plot import plot_history

        plot_history(report, args.plot)
        out.note(f"picture: {args.plot}")


def run_one_file(r: Results, out: Output) -> None:
    from .one_file import one_file_report, print_one_file

    print_one_file(one_file_report(r), out)


def run_label_runs(group: Group, out: Output) -> None:
    from .label_runs import label_runs_report, print_label_runs

    print_label_runs(label_runs_report(group), out)


def run_sides(groups: list[Group], out: Output, runs: bool = False) -> SidesReport:
    from .sides import print_sides, sides_report

    if len(groups) < 2:
        raise Unusable("one side only: give files of two labels, or two --group")
    report = sides_report(groups)
    print_sides(report, out, runs)
    return report


def run_fleet(groups: list[Group], out: Output) -> None:
    from .fleet import fleet_report, print_fleet

    print_fleet(fleet_report(groups), out)


def run_plot(results: list[Results], path: str, out: Output, groups: list[Group],
             report: SidesReport | None) -> None:
    from .files import name_of
    from .plot import plot

    plot(results, [name_of(r, results) for r in results], path,
         [g.name for g in groups for _ in g.files] or None, report)
    out.note(f"picture: {path}")


def main(argv: list[str], stdout: TextIO) -> int:
    args = parser().parse_args(argv)
    out = Output(args.format, stdout, args.table)
    status = report(args, out)
    out.finish()
    return status


def report(args: argparse.Namespace, out: Output) -> int:
    check(args)
    groups = args.group or []
    # What the call needs, asked for before anything is read or printed.
    need("numpy", "python3-numpy")
    if args.fleet or args.history or len(args.files) + sum(len(g) - 1 for g in groups) > 1:
        need("scipy.stats", "python3-scipy")
    if args.plot:
        need("matplotlib", "python3-matplotlib")
    if args.history:
        run_history(args, out)
        return 0
    if args.store is not None and not args.fleet:
        from .store import add_command

        return add_command(args.store, args.files, out)
    if args.store is not None:
        from .store import stored_results

        results = stored_results(args.store, since=args.since, until=args.until,
                                 latest=args.latest)
        if not results:
            raise Unusable(f"{args.store}: no stored run of the dates asked for")
    else:
        results = [Results.read(path) for path in args.files]
    explicit = [Group(g[0], [Results.read(path) for path in g[1:]]) for g in groups]
    if args.store is None:
        refuse_duplicates(results + [r for g in explicit for r in g.files])
    if explicit and results:
        explicit.append(Group("others", results))
    chosen: list[Group] = []
    sides = None
    if args.fleet:
        from .fleet import hosts_of

        chosen = explicit or hosts_of(results)
        drawn = [r for g in chosen for r in g.files]
    elif len(results) == 1 and not explicit:
        drawn = results
    else:
        from .sides import groups_of

        chosen = groups_of(results, explicit)
        drawn = [r for g in chosen for r in g.files]
    if args.plot:
        from .plot import check_size

        check_size(drawn, args.plot, 0 if args.fleet else len(chosen))
    if args.fleet:
        run_fleet(chosen, out)
    elif len(results) == 1 and not explicit:
        run_one_file(results[0], out)
    elif len(chosen) == 1:
        run_label_runs(chosen[0], out)
    else:
        sides = run_sides(chosen, out, args.runs)
    if args.plot:
        run_plot(drawn, args.plot, out, chosen, sides)
    return 0


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


def run(argv: list[str]) -> int:
    """The whole call: its status, with any refusal said in one line on
    standard error."""
    # A reader that has gone ends it quietly, as it ends other tools.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    stdout = stdout_stream()
    try:
        status = main(argv, stdout)
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
    except KeyboardInterrupt:
        # Whatever was being written has been cleaned up on the way here.
        die_of_sigint()
        raise
    return status


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
