#!/usr/bin/python3
"""How often comparisons of identical runs cry wolf, and whether they find a
known change.

Given the files of identical runs, in the order they were made: for each
row and for "any row", the share of comparisons of k runs against k that
thread-start-analyze's compare (its sides report, the family's cut
included) calls `differs`, for k = 4, 6 and 8 as the files allow, in
--splits random splits and in every time-ordered one (the first k of 2k
consecutive files against the next k, sliding over the files). Then its
power: the row program_run/pipe of k runs against the row
program_run/pipe_one_arena (the program with MALLOC_ARENA_MAX=1) of k
other runs, found `differs` by the family and by the row's rank test alone
at 5 %, in --splits random draws for k = 3 to 8, 10 and 12.
"""

from __future__ import annotations

import os
import sys

# The analysis is the package analyze/ at the root of the source tree, the
# directory above this one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from analyze.errors import Parser, Unusable, need  # noqa: E402
from analyze.reader import Group, Results, rows_of  # noqa: E402
from analyze.tables import FORMATS, Align, Column, Output, Table  # noqa: E402

SIZES = (4, 6, 8)
POWER_SIZES = (3, 4, 5, 6, 7, 8, 10, 12)
SPAN, ARENA = "program_run/pipe", "program_run/pipe_one_arena"
ANY = "any row"


def differing(a: list[Results], b: list[Results]) -> set[str]:
    """The rows the compare report calls `differs`, side b against a."""
    from analyze.effects import Verdict
    from analyze.sides import sides_report

    report = sides_report([Group("A", a), Group("B", b)])
    return {r.row for r in report.rows if r.others[0].verdict == Verdict.DIFFERS}


def share(found: list[set[str]], row: str) -> float:
    """The share of comparisons where `row` (or ANY: some row) differs."""
    return sum(bool(f) if row == ANY else row in f for f in found) / len(found)


def arena_run(r: Results) -> Results:
    """The run with its span row replaced by its arena-limited one."""
    values = dict(r.values)
    values[SPAN] = r.values[ARENA]
    return Results(r.path, r.context, values, r.rows, r.levers)


def main(argv: list[str]) -> int:
    parser = Parser(prog="calibration.py", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("files", nargs="+", metavar="FILE.json",
                        help="identical runs, in the order they were made")
    parser.add_argument("--splits", type=int, default=200,
                        help="random splits drawn for each size (default %(default)s)")
    parser.add_argument("--format", choices=FORMATS, default="text")
    args = parser.parse_args(argv)
    need("numpy", "python3-numpy")
    need("scipy.stats", "python3-scipy")
    import numpy as np

    from analyze import statistics as st

    results = [Results.read(path) for path in args.files]
    sizes = [k for k in SIZES if 2 * k <= len(results)]
    if not sizes or args.splits < 1:
        raise Unusable(f"{2 * SIZES[0]} files at least, and --splits of 1 at least")
    rng = np.random.default_rng(0)
    rows = [row for row in rows_of(results) if all(row in r.ticks for r in results)] + [ANY]
    columns = [Column("row", Align.LEFT)]
    found: list[list[set[str]]] = []
    for k in sizes:
        drawn = []
        for _ in range(args.splits):
            chosen = rng.permutation(len(results))[:2 * k]
            drawn.append(differing([results[i] for i in chosen[:k]],
                                   [results[i] for i in chosen[k:]]))
        ordered = [differing(results[s:s + k], results[s + k:s + 2 * k])
                   for s in range(len(results) - 2 * k + 1)]
        found += [drawn, ordered]
        columns += [Column(f"random {k}:{k}"), Column(f"in order {k}:{k} ({len(ordered)})")]
    table = Table("calibration", f"share of comparisons of identical runs ({len(results)} "
                  "files) that call a row `differs`: random splits, and each run's "
                  "neighbours in time", columns)
    for row in rows:
        table.add(row, *[f"{share(f, row):.1%}" for f in found])
    out = Output(args.format, sys.stdout)
    out.table(table)

    if not all(SPAN in r.ticks and ARENA in r.ticks for r in results):
        return 0
    power = Table("power", f"share of {args.splits} comparisons of {SPAN} of k runs against "
                  f"{ARENA} of k other runs that call it `differs`",
                  [Column("runs a side", Align.LEFT), Column("family"),
                   Column("the row alone at 5 %")])
    for k in POWER_SIZES:
        if 2 * k > len(results):
            break
        family = alone = 0
        for _ in range(args.splits):
            chosen = rng.permutation(len(results))[:2 * k]
            a = [results[i] for i in chosen[:k]]
            b = [arena_run(results[i]) for i in chosen[k:]]
            family += SPAN in differing(a, b)
            alone += st.shift_interval([st.median(r.ticks[SPAN]) for r in a],
                                       [st.median(r.ticks[SPAN]) for r in b]).p_value <= 0.05
        power.add(f"{k}:{k}", f"{family / args.splits:.0%}", f"{alone / args.splits:.0%}")
    out.table(power)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"calibration.py: {error}", file=sys.stderr)
        sys.exit(2)
