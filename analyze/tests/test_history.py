"""The history's detector as functions, and the history's report on
hand-made runs whose answers are known: where the change points fall,
their numbers and interval, the context entries that changed, and the
options that narrow it."""

from __future__ import annotations

import io
import os
import tempfile
import unittest
import unittest.mock
from typing import Sequence

import numpy as np

from analyze.__main__ import run
from analyze.estimates import Interval
from analyze.history import (Period, change_points, history_report, null_length,
                             print_history, segment_test, standardised_maxima)
from analyze.sides import Verdict
from analyze.store import StoredRun
from analyze.tables import Output

PIPE = "program_run/pipe"
COLD = "cold_thread_start"


def history(medians: Sequence[float], host: str = "vm", label: str = "",
            context: Sequence[dict[str, object]] = (), cold: float = 150.0,
            day: int = 1) -> list[StoredRun]:
    """A run a day from 2026-11-`day`, each of the pipe row's median given
    and a cold row of `cold`, the context each run's (or a kernel that
    never changes)."""
    return [StoredRun(f"{host}{label}{i}", f"{host}-{i}.json", host, label,
                      f"2026-{11 + (day + i - 1) // 30:02d}-{(day + i - 1) % 30 + 1:02d}"
                      "T03:00:00+00:00",
                      {"kernel": "6.1.0-28", "tunables": "none",
                       "load_avg": [float(i), 0.0, 0.0], "date": f"d{i}",
                       **(context[i] if context else {})},
                      {PIPE: float(m), COLD: cold})
            for i, m in enumerate(medians)]


# Runs that spread about 100 without any change: no rank test of the runs
# before a split against those after tells them apart.
FLAT: list[float] = [100, 104, 98, 103, 99, 101, 97, 105, 100, 102, 96, 104, 101, 99, 103, 98]
EARLIER: list[float] = [100, 102, 104, 106, 108, 110]
LATER: list[float] = [150, 152, 154, 156, 158, 160]


class Detector(unittest.TestCase):
    def test_change_points(self) -> None:
        up = FLAT[1:9]
        cases: list[tuple[str, list[float], list[int]]] = [
            ("flat", FLAT, []),
            ("constant: every run tied", [100.0] * 20, []),
            ("one step up", up + [v + 50 for v in up], [8]),
            ("one step down", [v + 50 for v in up] + up, [8]),
            ("two steps", up + [v + 50 for v in FLAT] + [v + 100 for v in up], [8, 24]),
            ("a step undone after 16 runs", FLAT + [v + 50 for v in FLAT] + FLAT, [16, 32]),
            # A split at a time: each split leaves a third of the runs on
            # the wrong side, and 8 runs are too few to outweigh that.
            ("a step undone after 8 runs: missed", up + [v + 50 for v in up] + up, []),
            ("4 runs before the step", [100.0, 101, 102, 103] + [200 + v for v in FLAT], [4]),
            ("4 runs after the step", FLAT + [200.0, 201, 202, 203], [16]),
            ("3 runs after: no period so short", FLAT + [200.0, 201, 202], []),
            ("7 runs: too few to split", [1.0, 2, 3, 100, 101, 102, 103], []),
        ]
        for case, values, expected in cases:
            with self.subTest(case):
                self.assertEqual(change_points(values), expected)

    def test_statistic_of_each_split(self) -> None:
        # 8 ranks in order, splits 4 only: U = 0 of 16 pairs, mean 8,
        # variance 4 x 4 x 9 / 12 = 12.
        z = standardised_maxima(np.arange(1.0, 9.0)[None, :], 4)
        np.testing.assert_allclose(z, [[8 / 12 ** 0.5]])
        # 10 ranks, splits 3 to 7: at k, |k (10 - k) / 2| / sqrt(k (10 - k) 11 / 12).
        k = np.arange(3, 8)
        z = standardised_maxima(np.arange(1.0, 11.0)[None, :], 3)
        np.testing.assert_allclose(z[0], (k * (10 - k) / 2) / np.sqrt(k * (10 - k) * 11 / 12))

    def test_p_value_matches_the_exact_distribution(self) -> None:
        # 8 runs split 4 + 4 only: 2 of the 70 orders put every run of one
        # side below the other (U = 0 or 16), 4 of 70 give U <= 1 or >= 15.
        for case, values, exact in [
                ("apart", [0, 1, 2, 3, 10, 11, 12, 13], 2 / 70),
                ("one pair crossed", [0, 1, 2, 4, 3, 10, 11, 12], 4 / 70),
                ("apart, later lower", [10, 11, 12, 13, 0, 1, 2, 3], 2 / 70)]:
            with self.subTest(case):
                at, p = segment_test(values)
                self.assertEqual(at, 4)
                self.assertAlmostEqual(p, exact, delta=0.006)

    def test_split_where_the_runs_differ_most(self) -> None:
        at, p = segment_test(EARLIER + LATER)
        self.assertEqual(at, 6)
        self.assertLess(p, 0.05)
        with self.assertRaises(ValueError):
            segment_test([1, 2, 3, 4, 5, 6, 7])
        # Beyond every order drawn: the least p-value, the observed order
        # counted among the 4999 drawn.
        self.assertEqual(segment_test([0.0] * 20 + [1.0] * 20), (20, 1 / 5000))

    def test_holds_its_level_without_change(self) -> None:
        # 400 series of 20 and of 100 normal values: the share with a change
        # point is 5 % give or take its chance (about 1.1 % at 400).
        rng = np.random.default_rng(1)
        for n in (20, 100):
            with self.subTest(n=n):
                found = np.mean([bool(change_points(rng.normal(size=n))) for _ in range(400)])
                self.assertLess(found, 0.08)
                self.assertGreater(found, 0.02)

    def test_null_length(self) -> None:
        for n, expected in [(8, 8), (64, 64), (65, 68), (68, 68), (69, 72), (128, 128),
                            (129, 136), (365, 368)]:
            with self.subTest(n=n):
                self.assertEqual(null_length(n), expected)


class Report(unittest.TestCase):
    def test_a_step_made_on_purpose(self) -> None:
        # The kernel and the tunables change at the 13th run, and the pipe
        # row's medians go up 50 ticks there; the cold row does not move.
        before: dict[str, object] = {"kernel": "6.1.0-28", "tunables": "none"}
        after: dict[str, object] = {"kernel": "6.12.9", "tunables": "glibc.malloc.arena_max=1"}
        runs = history(FLAT[:12] + [v + 50 for v in FLAT],
                       context=[before] * 12 + [after] * 16)
        pipe, cold = history_report(runs).series
        self.assertEqual((pipe.row, cold.row), (PIPE, COLD))
        self.assertEqual(cold.changes, [])
        (change,) = pipe.changes
        self.assertEqual(change.at, 12)
        self.assertEqual(change.date, "2026-11-13T03:00:00+00:00")
        # The date and the load average differ at every run, and are left out.
        self.assertEqual(change.context, ["kernel 6.1.0-28 -> 6.12.9",
                                          "tunables none -> glibc.malloc.arena_max=1"])
        self.assertEqual(change.verdict, Verdict.DIFFERS)
        self.assertEqual(pipe.periods, [
            Period("2026-11-01T03:00:00+00:00", "2026-11-12T03:00:00+00:00", 12, 100.5),
            Period("2026-11-13T03:00:00+00:00", "2026-11-28T03:00:00+00:00", 16, 150.5)])

    def test_no_change(self) -> None:
        (pipe, cold) = history_report(history(FLAT)).series
        for s in (pipe, cold):
            self.assertEqual(s.changes, [])
            self.assertEqual(len(s.periods), 1)
        self.assertEqual(pipe.periods[0].runs, 16)
        self.assertEqual(pipe.periods[0].median, 100.5)
        text = io.StringIO()
        print_history(history_report(history(FLAT)), Output("text", text))
        self.assertIn("no change point", text.getvalue())

    def test_numbers_of_a_change(self) -> None:
        (pipe, _) = history_report(history(EARLIER + LATER)).series
        (change,) = pipe.changes
        self.assertEqual((change.at, change.before, change.after), (6, 105.0, 155.0))
        self.assertEqual(change.change.difference, 50.0)
        self.assertAlmostEqual(change.change.percent or 0, 50 / 105 * 100)
        # 6 runs a side keep U = 6 at 95 %: the 6th smallest and largest of
        # the 36 differences later - earlier, 40, 42, 42, 44, 44, 44, ...
        self.assertEqual(change.interval, Interval(44.0, 56.0))
        assert change.percent is not None
        self.assertAlmostEqual(change.percent.low, 44 / 105 * 100)
        self.assertAlmostEqual(change.percent.high, 56 / 105 * 100)
        # Every later run above every earlier: 2 of the 924 orders.
        self.assertAlmostEqual(change.p_value or 0, 2 / 924)
        self.assertEqual(change.context, [])
        self.assertEqual([p.runs for p in pipe.periods], [6, 6])
        self.assertEqual([p.median for p in pipe.periods], [105.0, 155.0])

    def test_runs_in_date_order(self) -> None:
        runs = history(EARLIER + LATER)
        (pipe, _) = history_report(runs[::-1]).series
        self.assertEqual(pipe.medians, [float(v) for v in EARLIER + LATER])
        self.assertEqual(pipe.changes[0].change.difference, 50.0)

    def test_hosts_labels_and_rows(self) -> None:
        runs = (history(FLAT, host="b") + history(EARLIER + LATER, host="a", label="x")
                + history(FLAT, host="a", label="y"))
        report = history_report(runs, rows=[PIPE])
        self.assertTrue(report.labels_shown)
        self.assertEqual([(s.host, s.label, s.row, len(s.changes)) for s in report.series],
                         [("b", "", PIPE, 0), ("a", "x", PIPE, 1), ("a", "y", PIPE, 0)])
        self.assertFalse(history_report(history(FLAT)).labels_shown)
        self.assertEqual(history_report(runs, rows=["no such row"]).series, [])
        self.assertEqual(history_report([]).series, [])

    def test_printed_formats(self) -> None:
        report = history_report(history(EARLIER + LATER))
        for form, expected in [
                ("text", "vm    program_run/pipe    7  2026-11-07T03:00:00+00:00   105.0  155.0"
                         "        50.0  [44.0, 56.0]  +47.6%  [+41.9%, +53.3%]  0.00216  differs"),
                ("markdown", "| vm | program_run/pipe | 7 | 2026-11-07T03:00:00+00:00 | 105.0 "
                             "| 155.0 | 50.0 | [44.0, 56.0] | +47.6% | [+41.9%, +53.3%] "
                             "| 0.00216 | differs | - |"),
                ("csv", "changes,vm,program_run/pipe,7,2026-11-07T03:00:00+00:00,105.0,155.0,"
                        "50.0,44.0,56.0,47.6,41.9,53.3,0.00216,differs,-")]:
            with self.subTest(form):
                text = io.StringIO()
                print_history(report, Output(form, text))
                self.assertIn(expected, text.getvalue())


class CommandLine(unittest.TestCase):
    def call(self, *argv: str) -> tuple[int, str, str]:
        out, err = io.StringIO(), io.StringIO()
        with unittest.mock.patch("sys.stdout", out), unittest.mock.patch("sys.stderr", err):
            status = run(list(argv))
        return status, out.getvalue(), err.getvalue()

    def test_options_reach_the_store(self) -> None:
        runs = history(EARLIER + LATER)
        with unittest.mock.patch("analyze.store.stored_runs", return_value=runs) as stored:
            status, out, err = self.call("--store", "s.db", "--history", "--host", "vm",
                                         "--host", "other", "--row", PIPE, "--label", "",
                                         "--since", "2026-11-01", "--until", "2026-12-01",
                                         "--format", "csv")
        self.assertEqual((status, err), (0, ""))
        stored.assert_called_once_with("s.db", ["vm", "other"], [PIPE], [""], "2026-11-01",
                                       "2026-12-01")
        # Only the row asked for, though the runs have two.
        self.assertNotIn(COLD, out)
        self.assertIn("changes,vm,program_run/pipe,7,", out)

    def test_picture(self) -> None:
        runs = history(EARLIER + LATER) + history(FLAT, host="other")
        with tempfile.TemporaryDirectory() as directory, \
                unittest.mock.patch("analyze.store.stored_runs", return_value=runs):
            path = os.path.join(directory, "history.png")
            status, out, err = self.call("--store", "s.db", "--history", "--plot", path)
            self.assertEqual((status, err), (0, ""))
            self.assertIn(f"picture: {path}", out)
            with open(path, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_refused(self) -> None:
        cases = [
            (["--history"], "--history needs --store PATH"),
            (["--store", "s.db"], "--store needs --history"),
            (["--host", "vm", "a.json"], "--host needs --history"),
            (["--store", "s.db", "--history", "a.json"], "--history reads the store"),
            (["--store", "s.db", "--history", "--since", "last week"],
             "--since 'last week': not a date"),
            (["--store", "s.db", "--history", "--until", "2026-13-01"],
             "--until '2026-13-01': not a date"),
            (["--store", "s.db", "--history"], "--store s.db: this build cannot read a store"),
        ]
        for argv, expected in cases:
            with self.subTest(" ".join(argv)):
                status, out, err = self.call(*argv)
                self.assertEqual(status, 2)
                self.assertEqual(out, "")
                self.assertIn(expected, err)
                self.assertEqual(len(err.splitlines()), 1)


if __name__ == "__main__":
    unittest.main()


class Calibration(unittest.TestCase):
    def test_the_calibration_script(self) -> None:
        import contextlib
        import runpy

        from .fixtures import write_results

        tools = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(__file__)))), "tools", "history_calibration.py")
        calibration = runpy.run_path(tools, run_name="history_calibration")
        with tempfile.TemporaryDirectory() as directory:
            # Every run alike: no order shows a change, and a step of 20 %
            # puts every later run above every earlier one.
            files = [write_results(os.path.join(directory, f"{i}.json"),
                                   {PIPE: [9, 10, 11], COLD: [4, 5, 6]}) for i in range(12)]
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                status = calibration["main"](files + ["--lengths", "10,20", "--steps",
                                                      "4+6,4+26", "--histories", "3",
                                                      "--format", "csv"])
        self.assertEqual(status, 0)
        self.assertEqual(out.getvalue().splitlines(), [
            "table,runs,histories,found %,any row %",
            "level,10,6,0.0,0.0",
            "",
            "table,before,after,histories,found %,within 3 %,anywhere %,elsewhere %",
            "steps,4,6,6,100.0,100.0,100.0,0.0",
            "note,periods of 4 runs at least; a step with fewer runs a side than that "
            "cannot be found",
            "note,\"left out: histories of 20, 30 runs, more than the 12 files given\"",
        ])
