"""Runs the bench made in rounds: each look's share of the error (ranks
from R's qbinom), the counts a file of rounds may hold, the answer of such
a file, and the coverage of the intervals under stopping after every round
on simulated heavy-tailed data."""

from __future__ import annotations

import os
import tempfile
import unittest

import numpy as np

from analyze.answer import answer_of_run
from analyze.errors import Unusable
from analyze.estimates import ONE_MEDIAN_TAIL, TWO_MEDIANS_TAIL, Interval, median_rank
from analyze.effects import median_bounds
from analyze.reader import Results
from analyze.rounds import look_share, next_total, row_shares

from .fixtures import results_of, write_results

# R: qbinom(tail * 3 / ((j + 2) (j + 3)), n, 0.5) at look j, for one
# median (tail 0.025) and each of two (0.0125): look, n, the two ranks.
RANKS = [(1, 20, 5, 4), (1, 40, 12, 11), (1, 160, 64, 63), (2, 20, 4, 4), (2, 40, 12, 11),
         (2, 160, 63, 62), (3, 20, 4, 3), (3, 40, 11, 11), (3, 160, 62, 61), (4, 20, 4, 3),
         (4, 40, 11, 10), (4, 160, 62, 60)]
ROUNDS: dict[str, object] = {"stop_rule": "precision", "first_round": "20", "rounds": "3"}


class Rounds(unittest.TestCase):
    def test_ranks_at_each_look(self) -> None:
        for look, n, one, two in RANKS:
            with self.subTest(look=look, n=n):
                self.assertEqual((median_rank(n, ONE_MEDIAN_TAIL * look_share(look)),
                                  median_rank(n, TWO_MEDIANS_TAIL * look_share(look))),
                                 (one, two))

    def test_shares_by_count_and_counts_refused(self) -> None:
        for count, look in [(20, 1), (30, 2), (45, 3), (68, 4), (102, 5)]:
            with self.subTest(count=count):
                self.assertAlmostEqual(row_shares("f", ROUNDS, {"r": count})["r"],
                                       3 / ((look + 2) * (look + 3)))
        self.assertEqual(row_shares("f", {"cold_helper": "/x"}, {"r": 7}), {})
        refused: list[tuple[dict[str, object], int]] = [
            (ROUNDS, 40), (ROUNDS, 10), (ROUNDS, 69), ({**ROUNDS, "first_round": "0"}, 20),
            ({**ROUNDS, "first_round": "x"}, 20), ({**ROUNDS, "stop_rule": "luck"}, 20)]
        for context, count in refused:
            with self.subTest(context=context, count=count), self.assertRaises(Unusable):
                row_shares("f", context, {"r": count})

    def test_a_file_of_rounds_is_read_with_its_shares(self) -> None:
        # The cold start (1 to 45) at its 3rd look, the program (101 to 168)
        # at its 4th: R's intervals, as the bench's own answer has them.
        r = results_of({"program_run/pipe": [100.0 + i for i in range(1, 69)],
                        "cold_thread_start": [float(i) for i in range(1, 46)]},
                       {"cold_helper": "/x", **ROUNDS})
        figures = {f.name: f.reading for f in answer_of_run(r).figures}
        cold, span = figures["cold thread start"], figures["the program's span"]
        assert cold is not None and span is not None
        self.assertEqual(cold.interval, (13.0, 33.0))
        self.assertEqual(span.interval, (122.0, 147.0))
        with tempfile.TemporaryDirectory() as d:
            path = write_results(os.path.join(d, "r.json"), {"cold_thread_start": [1.0] * 31},
                                 ROUNDS)
            with self.assertRaisesRegex(Unusable, "31 repetitions, which no rounds"):
                Results.read(path)

    def test_coverage_when_stopped_after_every_round(self) -> None:
        # Ticks like a real row's: a skewed body and a heavy tail, 5 % of
        # the runs far out. Rounds to 20, 30, 45... 2,624; each run stops
        # once its interval is within 5 % of its median. 2,000 runs tell 95 %
        # coverage from 90 % by ten standard errors.
        rng = np.random.default_rng(7)

        def draw(n: int) -> np.ndarray:
            body = 200 + 40 * rng.lognormal(0, 0.6, n)
            return np.where(rng.random(n) < 0.05, body + 100 * rng.pareto(1.5, n), body)

        truth = float(np.median(draw(2_000_000)))
        sizes = [20]
        while len(sizes) < 13:
            sizes.append(next_total(sizes[-1]))
        covered = every_look = 0
        runs = 2000
        for _ in range(runs):
            values = draw(sizes[-1])
            held = True
            stopped: Interval | None = None
            for look, size in enumerate(sizes, 1):
                bounds = median_bounds(values[:size], ONE_MEDIAN_TAIL * look_share(look))
                assert bounds is not None
                held = held and bounds.low <= truth <= bounds.high
                median = float(np.median(values[:size]))
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
