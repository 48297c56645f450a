#!/usr/bin/python3
"""Whether levers across runs repeat.

Given the files of many runs made the same way, splits them into two halves
of --half runs, at random (--splits times) and in the order they were made
(consecutive blocks of --half runs, each against the next and the first
against the last), and counts for each lever line how often it says
`differs` in both halves, in neither, or in one only: with each line
judged alone at 95 % (--alone, as before levers were one family) or as the
family of `thread-start-analyze runs`.
"""

from __future__ import annotations

import os
import sys

# The analysis is the package analyze/ at the root of the source tree, the
# directory above this one.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from analyze.errors import Parser, Unusable, need  # noqa: E402
from analyze.reader import Results  # noqa: E402
from analyze.tables import FORMATS, Align, Column, Kind, Output, Table  # noqa: E402


def main(argv: list[str]) -> int:
    parser = Parser(prog="lever_calibration.py", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("files", nargs="+", metavar="FILE.json")
    parser.add_argument("--half", type=int, default=8, help="runs a half (default %(default)s)")
    parser.add_argument("--splits", type=int, default=200,
                        help="random splits drawn (default %(default)s)")
    parser.add_argument("--alone", action="store_true",
                        help="each line judged alone at 95 %%, not as one family")
    parser.add_argument("--format", choices=FORMATS, default="text")
    args = parser.parse_args(argv)
    need("numpy", "python3-numpy")
    need("scipy.stats", "python3-scipy")
    import numpy as np

    from analyze import statistics as st
    from analyze.label_runs import counters_of_lever, judged, lever_of_runs, levers_of

    half: int = args.half
    if len(args.files) < 2 * half or half < 1:
        raise Unusable(f"{2 * half} files at least, for two halves of {half} runs")
    results = [Results.read(path) for path in args.files]
    # In the order they were made; the files' order where dates tie.
    results.sort(key=lambda r: str(r.context.get("date") or ""))
    lines = [(lever, counter) for lever in levers_of(results)
             for counter in counters_of_lever(lever, results)]

    def differs(runs: list[Results]) -> list[bool]:
        levers = [lever_of_runs(lever, counter, runs) for lever, counter in lines]
        if args.alone:
            alone = [st.median_of_runs([d for d in e.differences if d is not None])
                     for e in levers]
            return [a is not None and a.interval.excludes_zero() for a in alone]
        return [e.verdict is not None and e.verdict.value == "differs"
                for e in judged(levers, st.least_runs())[0]]

    rng = np.random.default_rng(0)
    random = [rng.permutation(len(results))[:2 * half] for _ in range(args.splits)]
    blocks = [list(range(b * half, (b + 1) * half)) for b in range(len(results) // half)]
    ordered = [(blocks[b], blocks[b + 1]) for b in range(len(blocks) - 1)]
    ordered += [(blocks[0], blocks[-1])] if len(blocks) > 2 else []
    kinds = {"random": [(list(s[:half]), list(s[half:])) for s in random],
             "time-ordered": ordered}
    table = Table("levers", f"levers in two halves of {half} of {len(results)} identical runs, "
                  + ("each line alone at 95%" if args.alone else "as one family"), [
                      Column("lever", Align.LEFT), Column("against", Align.LEFT),
                      Column("on", Align.LEFT), Column("halves", Align.LEFT),
                      Column("splits", kind=Kind.COUNT), Column("both", kind=Kind.COUNT),
                      Column("neither", kind=Kind.COUNT),
                      Column("one only", kind=Kind.COUNT)])
    for kind, splits in kinds.items():
        counts = np.zeros((len(lines), 3), dtype=np.int64)
        for first, second in splits:
            a = np.array(differs([results[i] for i in first]))
            b = np.array(differs([results[i] for i in second]))
            counts[:, 0] += a & b
            counts[:, 1] += ~a & ~b
            counts[:, 2] += a ^ b
        for (lever, counter), (both, neither, one) in zip(lines, counts):
            table.add(lever.row, lever.base, counter, kind, len(splits), int(both),
                      int(neither), int(one))
    Output(args.format, sys.stdout).table(table)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"lever_calibration.py: {error}", file=sys.stderr)
        sys.exit(2)
