#!/usr/bin/python3
"""How often thread-start-analyze history finds a change point in a
history without change, and how often it finds a step made on purpose.

Given the files of many runs of one machine, it takes each run's median of
each row and builds a host's histories by drawing whole runs in random
order (without replacement), a day apart, so that each run's load is what
it would be: the share of one-row histories without change in which any
change point is found, for each length, and the share of hosts with one
on any row; then, with one row's medians of the runs after a given
position multiplied by 1 + --step, the share in which a change point is
found within one run of that position, of each row; and with every row's
multiplied at once (a machine-wide change), the share with one within one
run on any row. A host's rows are one family, so a calibrated detector
finds a change point on any row in at most 5 % of hosts' histories
without change.
"""

from __future__ import annotations

import os
import sys

# The analysis is the package analyze/ at the root of the source tree, the
# directory above this one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from analyze.errors import Parser, Unusable, need  # noqa: E402
from analyze.reader import Results, rows_of  # noqa: E402
from analyze.tables import FORMATS, Align, Column, Kind, Output, Table  # noqa: E402


def numbers(text: str) -> list[int]:
    try:
        values = [int(x) for x in text.split(",")]
    except ValueError:
        raise Unusable(f"{text!r}: not numbers separated by commas") from None
    if not values or min(values) < 1:
        raise Unusable(f"{text!r}: numbers of 1 or more")
    return values


def steps(text: str) -> list[tuple[int, int]]:
    """"4+6,5+5": the runs before and after each step."""
    made = []
    for part in text.split(","):
        before, plus, after = part.partition("+")
        if not plus:
            raise Unusable(f"{part!r}: runs before and after a step, as 4+6")
        a, b = numbers(before)[0], numbers(after)[0]
        made.append((a, b))
    return made


def main(argv: list[str]) -> int:
    parser = Parser(prog="history_calibration.py",
                    description=(__doc__ or "").splitlines()[0])
    parser.add_argument("files", nargs="+", metavar="FILE.json")
    parser.add_argument("--lengths", default="10,30,100",
                        help="runs a history without change (default %(default)s)")
    parser.add_argument("--steps", default="4+6,5+5,8+8,4+26,15+15,50+50",
                        help="runs before and after each step (default %(default)s)")
    parser.add_argument("--step", type=float, default=0.20,
                        help="how much higher the runs after the step are "
                             "(default %(default)s)")
    parser.add_argument("--histories", type=int, default=1000,
                        help="histories of each row drawn for each line "
                             "(default %(default)s)")
    parser.add_argument("--format", choices=FORMATS, default="text")
    parser.add_argument("--table", metavar="NAME", help="only this table: level or steps")
    args = parser.parse_args(argv)
    need("numpy", "python3-numpy")
    need("scipy.stats", "python3-scipy")
    import numpy as np

    from analyze import statistics as st
    from analyze.history import LEVEL, MIN_SEGMENT, RELATIVE, TICKS, found_in

    lengths, made = numbers(args.lengths), steps(args.steps)
    results = [Results.read(path) for path in args.files]
    rows = [row for row in rows_of(results) if all(row in r.ticks for r in results)]
    if not rows:
        raise Unusable("no row that every file measured")
    # Each run's median of each row: a run a line, each file read once.
    medians = np.array([[st.median(r.ticks[row]) for row in rows] for r in results])
    rng = np.random.default_rng(0)
    skipped = [n for n in lengths + [a + b for a, b in made] if n > len(results)]

    def histories(n: int) -> list[st.Floats]:
        """--histories histories of n whole runs (every row, so that each
        run's load is what it would be), a day apart: the runs' order drawn
        anew for each."""
        return [medians[rng.permutation(len(results))[:n]] for _ in range(args.histories)]

    def near(points: list[tuple[int, str]], at: int) -> bool:
        return any(abs(p - at) <= 1 for p, _ in points)

    out = Output(args.format, sys.stdout, args.table)
    table = Table("level", f"histories without change, {len(results)} runs drawn in random "
                  f"order, each with its {len(rows)} rows: the share of one-row histories "
                  "with any change point, as found as ticks and relative to the run's load, "
                  f"and the share of hosts' histories with one on any row (at most "
                  f"{LEVEL:.0%}: a host's rows are one family)", [
                      Column("runs", kind=Kind.COUNT), Column("histories", kind=Kind.COUNT),
                      Column("found %", kind=Kind.TICKS), Column("ticks %", kind=Kind.TICKS),
                      Column("relative %", kind=Kind.TICKS),
                      Column("any row %", kind=Kind.TICKS)])
    for n in lengths:
        if n > len(results):
            continue
        found = found_in(histories(n))
        kinds = np.array([[[any(how == kind for _, how in points) for kind in (TICKS, RELATIVE)]
                           for points in host] for host in found])
        table.add(n, kinds.shape[0] * kinds.shape[1], float(kinds.any(axis=2).mean()) * 100,
                  *(float(kinds[:, :, k].mean()) * 100 for k in (0, 1)),
                  float(kinds.any(axis=(1, 2)).mean()) * 100)
    out.table(table)
    table = Table("steps", f"histories with a step of {args.step:+.0%} in one row (that row's "
                  f"later medians x {1 + args.step:g}): the share with a change point within "
                  "one run of the step, of the typical row and of the worst, and of those "
                  "found relative; then with the step in every row at once (a machine-wide "
                  "change): the share with one within one run on any row", [
                      Column("before", kind=Kind.COUNT), Column("after", kind=Kind.COUNT),
                      Column("histories", kind=Kind.COUNT),
                      Column("typical %", kind=Kind.TICKS), Column("worst %", kind=Kind.TICKS),
                      Column("worst row", Align.LEFT), Column("relative %", kind=Kind.TICKS),
                      Column("every row %", kind=Kind.TICKS)])
    for a, b in made:
        if a + b > len(results):
            continue
        drawn = histories(a + b)
        stepped = []
        for x in drawn:
            for j in range(len(rows)):
                y = x.copy()
                y[a:, j] *= 1 + args.step
                stepped.append(y)
        # Every row tested, as the host's family, and the stepped row's
        # change points looked at.
        of_row = [host[i % len(rows)] for i, host in enumerate(found_in(stepped))]
        hits = np.array([near(points, a) for points in of_row]).reshape(-1, len(rows))
        relative = np.mean([any(abs(p - a) <= 1 and how == RELATIVE for p, how in points)
                            for points in of_row])
        shares = hits.mean(axis=0) * 100
        everywhere = [x * np.where(np.arange(a + b) >= a, 1 + args.step, 1.0)[:, None]
                      for x in drawn]
        machine = [any(near(points, a) for points in host) for host in found_in(everywhere)]
        table.add(a, b, len(drawn), float(np.median(shares)), float(shares.min()),
                  rows[int(np.argmin(shares))], float(relative) * 100,
                  float(np.mean(machine)) * 100)
    out.table(table)
    out.note(f"periods of {MIN_SEGMENT} runs at least; a step with fewer runs a side than "
             "that cannot be found")
    if skipped:
        out.note(f"left out: histories of {', '.join(map(str, sorted(set(skipped))))} runs, "
                 f"more than the {len(results)} files given")
    out.finish()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"history_calibration.py: {error}", file=sys.stderr)
        sys.exit(2)
