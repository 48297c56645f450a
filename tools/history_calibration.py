#!/usr/bin/python3
"""How often thread-start-analyze --history finds a change point in a
history without change, and how often it finds a step made on purpose.

Given the files of many runs of one machine, it takes each run's median of
each row and builds histories of one row by drawing runs in random order
(without replacement), a day apart: the share of histories without change
in which any change point is found, for each length; then, with the
medians of the runs after a given position multiplied by 1 + --step, the
share in which a change point is found within one run of that position,
and the share with a change point elsewhere. A calibrated detector finds
a change point in at most 5 % of histories without change.
"""

from __future__ import annotations

import os
import sys

# The analysis is the package analyze/ at the root of the source tree, the
# directory above this one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from analyze.errors import Parser, Unusable, need  # noqa: E402
from analyze.reader import Results, rows_of  # noqa: E402
from analyze.tables import FORMATS, Column, Kind, Output, Table  # noqa: E402


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
    parser.add_argument("--steps", default="4+6,5+5,8+8,4+26,15+15,8+22,50+50",
                        help="runs before and after each step (default %(default)s)")
    parser.add_argument("--step", type=float, default=0.20,
                        help="how much higher the runs after the step are "
                             "(default %(default)s)")
    parser.add_argument("--histories", type=int, default=1000,
                        help="histories of each row drawn for each line "
                             "(default %(default)s)")
    parser.add_argument("--format", choices=FORMATS, default="text")
    args = parser.parse_args(argv)
    need("numpy", "python3-numpy")
    need("scipy.stats", "python3-scipy")
    import numpy as np

    from analyze import statistics as st
    from analyze.history import LEVEL, MIN_SEGMENT, change_points

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
        """--histories histories of n runs for each row, a day apart: the
        runs' order drawn anew for each."""
        drawn = []
        for _ in range(args.histories):
            picked = medians[rng.permutation(len(results))[:n]]
            drawn += [picked[:, j] for j in range(len(rows))]
        return drawn

    out = Output(args.format, sys.stdout)
    table = Table("level", f"histories without change, {len(results)} runs drawn in random "
                  f"order, one row each: the share with any change point (at most "
                  f"{LEVEL:.0%}), and the share of draws with one on any of the "
                  f"{len(rows)} rows", [
                      Column("runs", kind=Kind.COUNT), Column("histories", kind=Kind.COUNT),
                      Column("found %", kind=Kind.TICKS), Column("any row %", kind=Kind.TICKS)])
    for n in lengths:
        if n > len(results):
            continue
        found = np.array([bool(change_points(x)) for x in histories(n)])
        table.add(n, len(found), float(found.mean()) * 100,
                  float(found.reshape(-1, len(rows)).any(axis=1).mean()) * 100)
    out.table(table)
    table = Table("steps", f"histories with a step of {args.step:+.0%} (the later runs' "
                  f"medians x {1 + args.step:g}): the share with a change point within one "
                  "run of the step, within three, anywhere, and with one further than three runs "
                  "from it", [
                      Column("before", kind=Kind.COUNT), Column("after", kind=Kind.COUNT),
                      Column("histories", kind=Kind.COUNT), Column("found %", kind=Kind.TICKS),
                      Column("within 3 %", kind=Kind.TICKS),
                      Column("anywhere %", kind=Kind.TICKS),
                      Column("elsewhere %", kind=Kind.TICKS)])
    for a, b in made:
        if a + b > len(results):
            continue
        # Each history: a change point within 1, within 3, anywhere, further.
        counts = np.zeros(4)
        drawn = histories(a + b)
        for x in drawn:
            x = x.copy()
            x[a:] *= 1 + args.step
            away = [abs(p - a) for p in change_points(x)]
            counts += [any(d <= 1 for d in away), any(d <= 3 for d in away), bool(away),
                       any(d > 3 for d in away)]
        table.add(a, b, len(drawn), *(float(c) / len(drawn) * 100 for c in counts))
    out.table(table)
    out.note(f"periods of {MIN_SEGMENT} runs at least; a step with fewer runs a side than "
             "that cannot be found")
    if skipped:
        out.note(f"left out: histories of {', '.join(map(str, sorted(set(skipped))))} runs, "
                 f"more than the {len(results)} files given")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"history_calibration.py: {error}", file=sys.stderr)
        sys.exit(2)
