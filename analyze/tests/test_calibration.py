"""tools/calibration.py on made runs whose answers are known."""

from __future__ import annotations

import io
import os
import runpy
import tempfile
import unittest
from unittest import mock

from .fixtures import write_results

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Calibration(unittest.TestCase):
    def test_shares_in_order_and_power(self) -> None:
        # Eight runs, the span row drifting up run by run (100 to 107) and
        # the arena row flat at 50: the one window in time of 4 against 4
        # splits the span row cleanly, the arena row never; the arena row,
        # 50 against the span's 100s, is found at 4 runs a side, and by no
        # test at 3 (least p 0.1).
        main = runpy.run_path(os.path.join(ROOT, "tools", "calibration.py"))["main"]
        with tempfile.TemporaryDirectory() as directory:
            paths = [write_results(os.path.join(directory, f"same{i}.json"),
                                   {"program_run/pipe": [99 + i, 100 + i, 101 + i],
                                    "program_run/pipe_one_arena": [50, 50, 50]},
                                   {"label": "same"}) for i in range(8)]
            out = io.StringIO()
            with mock.patch("sys.stdout", out):
                self.assertEqual(main(["--splits", "20", *paths]), 0)
        lines = [line.rsplit(None, 2) for line in out.getvalue().splitlines()]
        # (row or runs a side, its last two shares: random and in time, or
        # the family's and the row's alone)
        cases = [("program_run/pipe", "100.0%"), ("program_run/pipe_one_arena", "0.0%"),
                 ("any row", "100.0%"), ("3:3", "0% 0%"), ("4:4", "100% 100%")]
        for start, shares in cases:
            got = next((" ".join(x[1:]) for x in lines if x and x[0] == start), "")
            self.assertTrue(got.endswith(shares), (start, got))


class PrecisionCoverage(unittest.TestCase):
    def test_held_and_widths(self) -> None:
        # A run of 1..20 (interval [6, 15], ranks 6 and 15 of 20) holds the
        # reference's 10.5, pooled from two pieces; a run of 21..40 ([26,
        # 35]) does not. Half-widths: 4.5 / 10.5 and 4.5 / 30.5.
        main = runpy.run_path(os.path.join(ROOT, "tools", "precision_coverage.py"))["main"]
        with tempfile.TemporaryDirectory() as directory:
            def made(name: str, ticks: list[float]) -> str:
                return write_results(os.path.join(directory, name), {"cold_thread_start": ticks})

            reference = [made("ref1.json", [10] * 5), made("ref2.json", [11] * 5)]
            runs = [made("a.json", list(range(1, 21))), made("b.json", list(range(21, 41)))]
            out = io.StringIO()
            with mock.patch("sys.stdout", out):
                self.assertEqual(main([*runs, "--reference", *reference]), 0)
        self.assertEqual(out.getvalue(),
                         "cold thread start: the reference 10.5 (10 repetitions) held by 1 of 2 "
                         "runs' intervals; their widths ±14.8 to ±42.9 %\n")
