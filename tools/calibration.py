#!/usr/bin/python3
"""How often comparisons of identical runs cry wolf.

Given the files of many runs made the same way, for each row: the share of
pairs of files whose Mann-Whitney U test over every repetition gives
p < 0.05 and p < 0.01 (a comparison with the repetition as the unit), and
the share of splits into two sides of --runs runs each that
thread-start-analyze calls `differs` (the run as the unit). A calibrated
comparison flags about 5 % and 1 % of pairs, and at most 5 % of splits.
"""

from __future__ import annotations

import itertools
import os
import sys

# The analysis is the package analyze/ at the root of the source tree, the
# directory above this one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from analyze.errors import Parser, Unusable, need  # noqa: E402
from analyze.reader import Results, rows_of  # noqa: E402
from analyze.tables import FORMATS, Align, Column, Output, Table  # noqa: E402


def main(argv: list[str]) -> int:
    parser = Parser(prog="calibration.py", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("files", nargs="+", metavar="FILE.json")
    parser.add_argument("--runs", type=int,
                        help="runs a side (default: the fewest that can give a verdict)")
    parser.add_argument("--splits", type=int, default=200,
                        help="random splits drawn (default %(default)s)")
    parser.add_argument("--format", choices=FORMATS, default="text")
    args = parser.parse_args(argv)
    need("numpy", "python3-numpy")
    need("scipy.stats", "python3-scipy")
    import numpy as np
    from scipy import stats

    from analyze import statistics as st

    runs: int = args.runs or st.RUNS_FOR_VERDICT
    if len(args.files) < 2 * runs:
        raise Unusable(f"{2 * runs} files at least, for {runs} runs a side")

    results = [Results.read(path) for path in args.files]
    rng = np.random.default_rng(0)
    table = Table("calibration", f"false alarms among {len(results)} identical runs", [
        Column("row", Align.LEFT), Column("run medians"), Column("pairs p<0.05"),
        Column("pairs p<0.01"), Column(f"splits {runs}:{runs} differs")])
    for row in rows_of(results):
        if not all(row in r.ticks for r in results):
            continue
        pairs = list(itertools.combinations(results, 2))
        p = [float(stats.mannwhitneyu(a.ticks[row], b.ticks[row]).pvalue) for a, b in pairs]
        medians = [st.median(r.ticks[row]) for r in results]
        differs = 0
        for _ in range(args.splits):
            chosen = rng.permutation(len(results))[:2 * runs]
            a = [medians[i] for i in chosen[:runs]]
            b = [medians[i] for i in chosen[runs:]]
            differs += st.shift_interval(a, b).interval.excludes_zero()
        table.add(row, f"{min(medians):.1f}-{max(medians):.1f}",
                  f"{sum(x < 0.05 for x in p) / len(p):.0%}",
                  f"{sum(x < 0.01 for x in p) / len(p):.0%}",
                  f"{differs / args.splits:.0%}")
    Output(args.format, sys.stdout).table(table)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"calibration.py: {error}", file=sys.stderr)
        sys.exit(2)
