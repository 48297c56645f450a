#!/usr/bin/python3
"""How often comparisons of identical runs cry wolf.

Given the files of many runs made the same way, for each row: the share of
pairs of files whose Mann-Whitney U test over every repetition gives
p < 0.05 and p < 0.01 (a comparison with the repetition as the unit), and
the share of splits into two sides of --runs runs each that
thread-start-analyze calls `differs` (the run as the unit). A calibrated
comparison flags about 5 % and 1 % of pairs, and at most 5 % of splits.
"""

import itertools
import os
import sys

# The analysis beside this script, imported as a module.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "analyze"))
import analyze  # noqa: E402


def main(argv):
    parser = analyze.Parser(prog="calibration.py", description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+", metavar="FILE.json")
    parser.add_argument("--runs", type=int, default=analyze.RUNS_FOR_VERDICT,
                        help="runs a side (default %(default)s)")
    parser.add_argument("--splits", type=int, default=200,
                        help="random splits drawn (default %(default)s)")
    parser.add_argument("--format", choices=["text", "markdown", "csv"], default="text")
    args = parser.parse_args(argv)
    if len(args.files) < 2 * args.runs:
        raise analyze.Unusable(f"{2 * args.runs} files at least, for {args.runs} runs a side")
    st = analyze.Stats()
    results = [analyze.Results(path) for path in args.files]
    rng = st.np.random.default_rng(0)
    table = analyze.Table(
        "calibration", f"false alarms among {len(results)} identical runs",
        ["row", "run medians", "pairs p<0.05", "pairs p<0.01",
         f"splits {args.runs}:{args.runs} differs"])
    for row in analyze.rows_of(results):
        if not all(row in r.ticks for r in results):
            continue
        pairs = list(itertools.combinations(results, 2))
        p = [st.stats.mannwhitneyu(a.ticks[row], b.ticks[row]).pvalue for a, b in pairs]
        medians = [st.median(r.ticks[row]) for r in results]
        differs = 0
        for _ in range(args.splits):
            chosen = rng.permutation(len(results))[:2 * args.runs]
            a = [medians[i] for i in chosen[:args.runs]]
            b = [medians[i] for i in chosen[args.runs:]]
            low, high, _ = st.shift_interval(a, b)
            differs += low > 0 or high < 0
        table.add(row, f"{min(medians):.1f}-{max(medians):.1f}",
                  f"{sum(x < 0.05 for x in p) / len(p):.0%}",
                  f"{sum(x < 0.01 for x in p) / len(p):.0%}",
                  f"{differs / args.splits:.0%}")
    analyze.Output(args.format).table(table)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except analyze.Unusable as error:
        print(f"calibration.py: {error}", file=sys.stderr)
        sys.exit(2)
