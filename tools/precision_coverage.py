#!/usr/bin/python3
"""How often the intervals of real runs hold a long reference run's figures.

    tools/precision_coverage.py RUN.json... --reference REF.json...

Each RUN (made with --precision, or with a fixed count) gives each figure
of the answer with its interval, as the analysis reads it: for a run made
in rounds, the bench's spent intervals. The reference is one long run made
in pieces alternately with the runs, so that whatever drifted while they
were made falls on both: each figure of it is the median of every piece's
repetitions pooled (less the cold start's, for the first line). Prints for
each figure how many runs' intervals hold the reference, and the widths
they reached (half the interval, in percent of the run's figure).
"""

from __future__ import annotations

import os
import sys

# The analysis is the package analyze/ at the root of the source tree.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from analyze.errors import Parser, Unusable, need  # noqa: E402
from analyze.reader import Results  # noqa: E402

# The figures held against the reference: those --precision aims at.
AIMED = ("cold thread start", "warm thread start", "first line", "the program's span")


def main(argv: list[str]) -> int:
    parser = Parser(prog="precision_coverage.py",
                    description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--reference", nargs="+", required=True, metavar="REF.json")
    parser.add_argument("runs", nargs="+", metavar="RUN.json")
    args = parser.parse_args(argv)
    need("numpy", "python3-numpy")
    from analyze import statistics as st
    from analyze.answer import FIGURES, answer_of_run

    pieces = [Results.read(path) for path in args.reference]
    pooled: dict[str, list[float]] = {}
    for piece in pieces:
        for row, ticks in piece.ticks.items():
            pooled.setdefault(row, []).extend(ticks)
    for name in AIMED:
        f = next(f for f in FIGURES if f.name == name)
        if f.row not in pooled or (f.less is not None and f.less not in pooled):
            continue
        reference = st.median(pooled[f.row]) - (st.median(pooled[f.less]) if f.less else 0)
        held, widths = 0, []
        for path in args.runs:
            figure = next(g for g in answer_of_run(Results.read(path)).figures if g.name == name)
            if figure.reading is None or figure.reading.interval is None:
                raise Unusable(f"{path}: no interval of the {name}")
            low, high = figure.reading.interval
            held += low <= reference <= high
            widths.append((high - low) / 2 / abs(figure.reading.value) * 100)
        print(f"{name}: the reference {reference:g} ({len(pooled[f.row])} repetitions) "
              f"held by {held} of {len(args.runs)} runs' intervals; "
              f"their widths ±{min(widths):.1f} to ±{max(widths):.1f} %")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"precision_coverage.py: {error}", file=sys.stderr)
        sys.exit(2)
