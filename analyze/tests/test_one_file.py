"""One file's intervals from order statistics: the ranks against R's, their
coverage on known distributions, and the levers' intervals as one family,
with the bench's answer's known answers."""

from __future__ import annotations

import math
import unittest

import numpy as np

from analyze.answer import DIFFERS, NO_CHANGE, answer_of_run
from analyze.effects import median_bounds
from analyze.estimates import ONE_MEDIAN_TAIL, TWO_MEDIANS_TAIL, Interval, median_rank
from analyze.one_file import family_of, one_file_report
from analyze.reader import PART_COUNTS, Lever, Results

from .fixtures import KNOWN, results_of

SIZES = (6, 7, 8, 9, 10, 11, 12, 20, 200)
# tail: the ranks l at SIZES, from R: qbinom(tail, n, 0.5), one more where
# pbinom(l, n, 0.5) <= tail. A family of k levers takes 0.0125 / k.
R_RANKS = {
    ONE_MEDIAN_TAIL: (1, 1, 1, 2, 2, 2, 3, 6, 86),
    TWO_MEDIANS_TAIL: (0, 1, 1, 1, 2, 2, 2, 5, 84),
    TWO_MEDIANS_TAIL / 2: (0, 0, 1, 1, 1, 2, 2, 5, 82),
    TWO_MEDIANS_TAIL / 3: (0, 0, 1, 1, 1, 1, 2, 4, 81),
    TWO_MEDIANS_TAIL / 6: (0, 0, 0, 1, 1, 1, 1, 4, 80),
    TWO_MEDIANS_TAIL / 16: (0, 0, 0, 0, 0, 1, 1, 3, 78),
}

# The known distributions: a draw of (samples, n) values, and the true
# median. Uniform on 0..10 rounded to whole numbers has ties; its median is
# 5 (P(X <= 5) and P(X >= 5) are both 0.55).
DISTRIBUTIONS = {
    "exponential": (lambda rng, shape: rng.exponential(1.0, shape), math.log(2)),
    "lognormal": (lambda rng, shape: rng.lognormal(0.0, 1.0, shape), 1.0),
    "uniform rounded": (lambda rng, shape: np.round(rng.uniform(0, 10, shape)), 5.0),
}
SAMPLES = 2000


class Ranks(unittest.TestCase):
    def test_ranks_as_r_gives_them(self) -> None:
        for tail, ranks in R_RANKS.items():
            for n, rank in zip(SIZES, ranks):
                with self.subTest(tail=tail, n=n):
                    self.assertEqual(median_rank(n, tail), rank)


    def test_the_median_s_interval_covers_it_on_known_distributions(self) -> None:
        # Each case's coverage over SAMPLES samples with a fixed seed, at
        # least 95 % less three of its standard errors (1.5 %): a rank one
        # in loses 5 % or more at these sizes.
        rng = np.random.default_rng(28)
        slack = 3 * math.sqrt(0.95 * 0.05 / SAMPLES)
        for name, (draw, true) in DISTRIBUTIONS.items():
            for n in range(6, 31):
                samples = draw(rng, (SAMPLES, n))
                bounds = [median_bounds(x) for x in samples]
                covered = np.mean([b is not None and b.low <= true <= b.high for b in bounds])
                with self.subTest(distribution=name, n=n):
                    self.assertGreaterEqual(covered, 0.95 - slack)


def levers(count: int, row: str = "shifted") -> dict[str, list[float]]:
    """The bench's answer's test sets: the pipe row (i 37 mod 101, i = 1 to
    20) and `count` levers on it, each 60 less ("shifted") or 10 more."""
    pipe = [float(i * 37 % 101) for i in range(1, 21)]
    lever = [v - 60 if row == "shifted" else v + 10 for v in pipe]
    return {"program_run/pipe": pipe, **{f"program_run/l{i}": lever for i in range(count)}}


class Family(unittest.TestCase):
    def test_the_levers_hold_together_as_the_bench_s_answer(self) -> None:
        # levers, the first one's change in % and its verdict: the bench's
        # answer's known answers (R: each median at 0.0125 / k, the ratios
        # of their ends).
        for count, row, interval, verdict in [
            (1, "shifted", Interval(-260.8695652, -26.08695652), DIFFERS),
            (2, "shifted", Interval(-260.8695652, -26.08695652), DIFFERS),
            (3, "shifted", Interval(-300.0, 20.0), NO_CHANGE),
            (6, "shifted", Interval(-300.0, 20.0), NO_CHANGE),
            (1, "plus 10", Interval(-57.14285714, 278.2608696), NO_CHANGE),
            (3, "plus 10", Interval(-64.28571429, 370.0), NO_CHANGE),
        ]:
            rows = levers(count, row)
            r = results_of(rows, levers=[Lever(name, "program_run/pipe", "ticks")
                                         for name in list(rows)[1:]])
            with self.subTest(count=count, row=row):
                self.assertEqual(family_of(r), count)
                first = answer_of_run(r).levers[0]
                assert first.change is not None and first.change.interval is not None
                self.assertEqual(first.verdict, verdict)
                for got, expected in zip(first.change.interval, interval):
                    self.assertAlmostEqual(got, expected, places=6)

    def test_the_family_is_the_levers_table(self) -> None:
        # The known file: own_stack on ticks and on creator, pinned and
        # pipe_one_arena on ticks; none without a lever.
        self.assertEqual([one_file_report(r).family for r in
                          (results_of(levers(0)), Results.read(KNOWN))], [0, 4])

    def test_the_parts_counts_a_family_of_their_own(self) -> None:
        # Own stack on ticks and creator, and on two counts of 11
        # repetitions: each family of two takes rank 2 (qbinom(0.00625, 11,
        # 0.5)), one of four would take rank 1.
        def row(faults: list[float]) -> dict[str, list[float]]:
            return {"creator": [1.0] * 11, "new_thread": [1.0] * 11, "first_line": [1.0] * 11,
                    "rest": [0.0] * 11, **{c: [0.0] * 11 for c in PART_COUNTS},
                    "creator_faults": faults, "first_line_faults": faults}
        r = results_of({"program_parts/default": [5.0] * 11,
                        "program_parts/own_stack": [float(i) for i in range(11)]},
                       parts={"program_parts/default": row([5.0] * 11),
                              "program_parts/own_stack": row([float(i) for i in range(11)])},
                       levers=[Lever("program_parts/own_stack", "program_parts/default",
                                     "creator")])
        report = one_file_report(r)
        self.assertEqual((report.family, len(report.lever_counts)), (2, 2))
        # ticks, creator, creator_faults, first_line_faults
        self.assertEqual([e.gap.interval if e.gap else None
                          for e in report.levers + report.lever_counts],
                         [Interval(-4.0, 4.0), Interval(0.0, 0.0), Interval(-4.0, 4.0),
                          Interval(-4.0, 4.0)])


if __name__ == "__main__":
    unittest.main()
