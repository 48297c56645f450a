#!/usr/bin/python3
"""How often thread-start-analyze fleet marks a host among identical ones,
and how often it finds one made slower.

Given the files of many runs of one machine, it builds fleets by dealing
runs to hosts at random (so that whatever drifted while the runs were made
falls on every host alike) and applies the fleet's rule to each: the share
of fleets of identical hosts in which any host is marked, for each number
of hosts and runs a host; then, with one host's ticks made --shift higher
on one row drawn at random, the share of fleets in which that host is
marked on that row, and the share in which any other host is marked. A
calibrated rule marks at most 5 % of fleets of identical hosts.
"""

from __future__ import annotations

import os
import sys

# The analysis is the package analyze/ at the root of the source tree, the
# directory above this one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from analyze.errors import Parser, Unusable, need  # noqa: E402
from analyze.reader import Results, rows_of  # noqa: E402
from analyze.tables import FORMATS, NONE, Align, Column, Kind, Output, Table  # noqa: E402


def numbers(text: str) -> list[int]:
    try:
        values = [int(x) for x in text.split(",")]
    except ValueError:
        raise Unusable(f"{text!r}: not numbers separated by commas") from None
    if not values or min(values) < 1:
        raise Unusable(f"{text!r}: numbers of 1 or more")
    return values


def main(argv: list[str]) -> int:
    parser = Parser(prog="fleet_calibration.py", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("files", nargs="+", metavar="FILE.json")
    parser.add_argument("--hosts", default="3,6,12", help="hosts a fleet (default %(default)s)")
    parser.add_argument("--runs", default="2,4,8", help="runs a host (default %(default)s)")
    parser.add_argument("--shifted-runs", type=int, default=4,
                        help="runs a host in the fleets with one host shifted "
                             "(default %(default)s)")
    parser.add_argument("--shift", type=float, default=0.30,
                        help="how much higher the shifted host's ticks are (default %(default)s)")
    parser.add_argument("--fleets", type=int, default=1000,
                        help="fleets drawn for each line (default %(default)s)")
    parser.add_argument("--format", choices=FORMATS, default="text")
    args = parser.parse_args(argv)
    need("numpy", "python3-numpy")
    need("scipy.stats", "python3-scipy")
    import numpy as np

    from analyze import statistics as st
    from analyze.fleet import FALSE_ALARMS, RELATIVE, least_p_value, marked_rows

    hosts_list, runs_list = numbers(args.hosts), numbers(args.runs)
    results = [Results.read(path) for path in args.files]
    rows = [row for row in rows_of(results) if all(row in r.ticks for r in results)]
    least = min(hosts_list) * min(runs_list + [args.shifted_runs])
    if len(results) < least:
        raise Unusable(f"{least} files at least, for the smallest fleet")
    # Fleets of more runs than were given, left out and named.
    skipped: list[str] = []
    # Fleets too small for any verdict, named.
    no_verdict: list[str] = []
    # Each run's median of each row: a run a line.
    medians = np.array([[st.median(r.ticks[row]) for row in rows] for r in results])
    rng = np.random.default_rng(0)

    def fleet(hosts: int, runs: int) -> st.Floats:
        """Runs dealt to hosts: hosts x runs x rows."""
        picked: st.Floats = medians[rng.permutation(len(results))[:hosts * runs]]
        return picked.reshape(hosts, runs, len(rows))

    def marked(runs: st.Floats) -> list[set[str]]:
        """The rows each host is marked on, relative or not."""
        return [{row.removesuffix(RELATIVE) for row in found}
                for found in marked_rows(list(runs), rows)]

    table = Table("calibration", f"fleets dealt from {len(results)} runs of one machine, "
                  f"{args.fleets} a line, {len(rows)} rows", [
                      Column("hosts", kind=Kind.COUNT), Column("runs a host", kind=Kind.COUNT),
                      Column("shift", Align.LEFT), Column("shifted host marked", kind=Kind.SHARE),
                      Column("any other marked", kind=Kind.SHARE)])
    for hosts in hosts_list:
        for runs in runs_list:
            if hosts * runs > len(results):
                skipped.append(f"{hosts} hosts of {runs} runs")
                continue
            if least_p_value([runs] * hosts) > FALSE_ALARMS:
                table.add(hosts, runs, "none", NONE, NONE)
                no_verdict.append(f"{hosts} hosts of {runs} runs")
                continue
            alarms = 0
            for _ in range(args.fleets):
                runs_of = fleet(hosts, runs)
                alarms += any(marked(runs_of))
            table.add(hosts, runs, "none", NONE, alarms / args.fleets)
    for hosts in hosts_list:
        if hosts * args.shifted_runs > len(results):
            skipped.append(f"{hosts} hosts of {args.shifted_runs} runs, one shifted")
            continue
        if least_p_value([args.shifted_runs] * hosts) > FALSE_ALARMS:
            table.add(hosts, args.shifted_runs, f"{args.shift:.0%} higher on one row", NONE, NONE)
            no_verdict.append(f"{hosts} hosts of {args.shifted_runs} runs")
            continue
        found = others = 0
        for _ in range(args.fleets):
            runs_of = fleet(hosts, args.shifted_runs)
            shifted = int(rng.integers(len(rows)))
            runs_of[0, :, shifted] *= 1 + args.shift
            found_rows = marked(runs_of)
            found += rows[shifted] in found_rows[0]
            others += any(found_rows[1:])
        table.add(hosts, args.shifted_runs, f"{args.shift:.0%} higher on one row",
                  found / args.fleets, others / args.fleets)
    out = Output(args.format, sys.stdout)
    out.table(table)
    for fleet_left in skipped:
        out.note(f"{fleet_left}: more runs than the {len(results)} given")
    for fleet_small in dict.fromkeys(no_verdict):
        out.note(f"{fleet_small}: too few runs for a verdict (see --fleet)")
    out.finish()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"fleet_calibration.py: {error}", file=sys.stderr)
        sys.exit(2)
