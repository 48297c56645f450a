"""Runs the bench made in rounds: each look's share of the error (ranks
from R's qbinom), the counts a file of rounds may hold, the answer of such
a file, and the coverage of the intervals under stopping after every round
on simulated heavy-tailed data."""

from __future__ import annotations

import math
import os
import tempfile
import unittest

import numpy as np

from analyze.answer import answer_of_run
from analyze.errors import Unusable
from analyze.estimates import ONE_MEDIAN_TAIL, TWO_MEDIANS_TAIL, Interval, median_rank
from analyze.effects import median_bounds
from analyze.reader import Results
from analyze.rounds import look_share, row_shares

from .fixtures import results_of, write_results

# R: qbinom(tail * 6 / (pi^2 j^2), n, 0.5) at look j, for one median (tail
# 0.025) and each of two (0.0125): look, n, the two ranks.
RANKS = [(1, 20, 5, 5), (1, 40, 13, 12), (1, 160, 66, 65), (2, 20, 4, 4), (2, 40, 12, 11),
         (2, 160, 63, 62), (3, 20, 4, 3), (3, 40, 11, 10), (3, 160, 62, 60), (4, 20, 3, 3),
         (4, 40, 10, 10), (4, 160, 60, 59)]
ROUNDS: dict[str, object] = {"stop_rule": "precision", "first_round": "20", "rounds": "3"}


class Rounds(unittest.TestCase):
    def test_ranks_at_each_look(self) -> None:
        for look, n, one, two in RANKS:
            with self.subTest(look=look, n=n):
                self.assertEqual((median_rank(n, ONE_MEDIAN_TAIL * look_share(look)),
                                  median_rank(n, TWO_MEDIANS_TAIL * look_share(look))),
                                 (one, two))

    def test_shares_by_count_and_counts_refused(self) -> None:
        for count, look in [(20, 1), (40, 2), (80, 3), (640, 6)]:
            with self.subTest(count=count):
                self.assertAlmostEqual(row_shares("f", ROUNDS, {"r": count})["r"],
                                       6 / (math.pi ** 2 * look ** 2))
        self.assertEqual(row_shares("f", {"cold_helper": "/x"}, {"r": 7}), {})
        refused: list[tuple[dict[str, object], int]] = [
            (ROUNDS, 60), (ROUNDS, 10), (ROUNDS, 120), ({**ROUNDS, "first_round": "0"}, 20),
            ({**ROUNDS, "first_round": "x"}, 20), ({**ROUNDS, "stop_rule": "luck"}, 20)]
        for context, count in refused:
            with self.subTest(context=context, count=count), self.assertRaises(Unusable):
                row_shares("f", context, {"r": count})

    def test_a_file_of_rounds_is_read_with_its_shares(self) -> None:
        # The cold start (1 to 40) at its 2nd look, the program (101 to 140)
        # at its 3rd: the ranks above, as the bench's own answer has them.
        r = results_of({"program_run/pipe": [100.0 + i for i in range(1, 81)],
                        "cold_thread_start": [float(i) for i in range(1, 41)]},
                       {"cold_helper": "/x", **ROUNDS})
        figures = {f.name: f.reading for f in answer_of_run(r).figures}
        cold, span = figures["cold thread start"], figures["the program's span"]
        assert cold is not None and span is not None
        self.assertEqual(cold.interval, (12.0, 29.0))
        # 80 values at look 3: ranks 27 and 54 for one median (R).
        self.assertEqual(span.interval, (127.0, 154.0))
        with tempfile.TemporaryDirectory() as d:
            path = write_results(os.path.join(d, "r.json"), {"cold_thread_start": [1.0] * 30},
                                 ROUNDS)
            with self.assertRaisesRegex(Unusable, "30 repetitions, which no round"):
                Results.read(path)

    def test_coverage_when_stopped_after_every_round(self) -> None:
        # Ticks like a real row's: a skewed body and a heavy tail, 5 % of
        # the runs far out. Rounds of 20, 20, 40... to 2,560; each run stops
        # once its interval is within 5 % of its median. 2,000 runs tell 95 %
        # coverage from 90 % by ten standard errors.
        rng = np.random.default_rng(7)

        def draw(n: int) -> np.ndarray:
            body = 200 + 40 * rng.lognormal(0, 0.6, n)
            return np.where(rng.random(n) < 0.05, body + 100 * rng.pareto(1.5, n), body)

        truth = float(np.median(draw(2_000_000)))
        covered = every_look = 0
        runs = 2000
        for _ in range(runs):
            values = draw(2560)
            held = True
            stopped: Interval | None = None
            for look in range(1, 9):
                bounds = median_bounds(values[:20 * 2 ** (look - 1)],
                                       ONE_MEDIAN_TAIL * look_share(look))
                assert bounds is not None
                held = held and bounds.low <= truth <= bounds.high
                median = float(np.median(values[:20 * 2 ** (look - 1)]))
                if stopped is None and max(median - bounds.low, bounds.high - median) <= 0.05 * median:
                    stopped = bounds
            stopped = stopped or bounds
            assert stopped is not None
            covered += stopped.low <= truth <= stopped.high
            every_look += held
        self.assertGreaterEqual(covered / runs, 0.95)
        self.assertGreaterEqual(every_look / runs, 0.95)


if __name__ == "__main__":
    unittest.main()
