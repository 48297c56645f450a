"""The history's detector as functions, and the history's report on
hand-made runs whose answers are known: where the change points fall,
their numbers and interval, the context entries that changed, and the
options that narrow it."""

from __future__ import annotations

import dataclasses
import io
import math
import os
import tempfile
import unittest
import unittest.mock
from typing import Sequence

import numpy as np

from analyze.__main__ import run
from analyze.estimates import Interval
from analyze import statistics as st
from analyze.history import (LEVEL, PERMUTATIONS, RELATIVE, SPLIT_LEVEL, TICKS, Period,
                             beyond_allowed, change_points, family_maxima, first_found,
                             found_in, history_report, least_length, least_p, loads_left_out,
                             merged, print_history, segment_test, segment_tests,
                             standardised_maxima)
from analyze.statistics import relative_logs
from analyze.sides import Verdict
from analyze.store import StoredRun
from analyze.tables import Output

PIPE = "program_run/pipe"
COLD = "cold_thread_start"
WARM = "warm_create_join"


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
            ("a step undone after 16 runs", FLAT + [v + 50 for v in FLAT] + FLAT + FLAT[:8],
             [16, 32]),
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
                self.assertEqual(change_points(values, level=LEVEL), expected)

    def test_statistic_of_each_split(self) -> None:
        # 8 ranks in order, splits 4 only: U = 0 of 16 pairs, mean 8,
        # variance 4 x 4 x 9 / 12 = 12.
        z = standardised_maxima(np.arange(1.0, 9.0)[None, :], 4)
        np.testing.assert_allclose(z, [[8 / 12 ** 0.5]])
        # 10 ranks, splits 3 to 7: at k, |k (10 - k) / 2| / sqrt(k (10 - k) 11 / 12).
        k = np.arange(3, 8)
        z = standardised_maxima(np.arange(1.0, 11.0)[None, :], 3)
        np.testing.assert_allclose(z[0], (k * (10 - k) / 2) / np.sqrt(k * (10 - k) * 11 / 12))
        # A host's series, each over its own runs: one that lacks runs is
        # the series of the runs it has; whole numbers of halves are ranks.
        rng = np.random.default_rng(0)
        cases: list[tuple[str, list[int]]] = [
            ("every run", []), ("runs 1 and 6 lacking", [0, 5]), ("the last lacking", [11])]
        for case, missing in cases:
            with self.subTest(case):
                present = np.ones((12, 2), dtype=bool)
                present[missing, 1] = False
                ranks = np.stack([rng.permutation(12) + 1.0] * 2, axis=1)
                ranks[present[:, 1], 1] = rng.permutation(12 - len(missing)) + 1.0
                ranks[~present] = 0
                expected = [standardised_maxima(ranks[present[:, j], j][None, :], 4).max()
                            for j in range(2)]
                np.testing.assert_allclose(family_maxima(ranks, present, 4), expected)
                halves = (2 * ranks[:, 0]).astype(np.int64)[None, :]
                self.assertAlmostEqual(float(standardised_maxima(halves, 4).max()),
                                       expected[0], places=5)

    def test_p_value_matches_the_exact_distribution(self) -> None:
        # 8 runs split 4 + 4 only: 2 of the 70 orders put every run of one
        # side below the other (U = 0 or 16), 4 of 70 give U <= 1 or >= 15.
        # Each side's runs in 40 orders, each series its own draw: the mean
        # p-value is the exact one, give or take the draws' (and the
        # sequential p-value's, some 10 % above).
        rng = np.random.default_rng(4)
        for case, values, exact in [
                ("apart", [0, 1, 2, 3, 10, 11, 12, 13], 2 / 70),
                ("one pair crossed", [0, 1, 2, 4, 3, 10, 11, 12], 4 / 70),
                ("apart, later lower", [10, 11, 12, 13, 0, 1, 2, 3], 2 / 70)]:
            with self.subTest(case):
                orders = [[values[i] for i in rng.permutation(4)]
                          + [values[4 + i] for i in rng.permutation(4)] for _ in range(40)]
                ats, ps = segment_tests(orders)
                self.assertEqual(set(ats), {4})
                self.assertGreaterEqual(np.mean(ps), exact * 0.95)
                # Never below the least p of 8 runs, whatever the draw.
                self.assertGreaterEqual(min(ps), least_p(8))
                self.assertLess(np.mean(ps), exact * 1.3)

    def test_split_where_the_runs_differ_most(self) -> None:
        at, p = segment_test(EARLIER + LATER)
        self.assertEqual(at, 6)
        self.assertLess(p, 0.05)
        with self.assertRaises(ValueError):
            segment_test([1, 2, 3, 4, 5, 6, 7])
        # Beyond every order drawn: the least p-value, the observed order
        # counted among the PERMUTATIONS drawn.
        self.assertEqual(segment_test([0.0] * 20 + [1.0] * 20), (20, 1 / (PERMUTATIONS + 1)))

    def test_holds_its_level_without_change(self) -> None:
        # 1000 series of normal values a length: the share whose first test
        # is at SPLIT_LEVEL is 2.5 % give or take its chance (0.5 % at 1000).
        rng = np.random.default_rng(1)
        for n in (10, 30, 100):
            with self.subTest(n=n):
                _, ps = segment_tests(rng.normal(size=(1000, n)))
                self.assertLess(np.mean(np.array(ps) <= SPLIT_LEVEL), 0.04)
                self.assertGreater(np.mean(np.array(ps) <= SPLIT_LEVEL), 0.01)
        # Series of one statistic (the first 4 and the last 4 of 12 runs in
        # another order) are each held against their own draw of orders.
        base = [3.0, 1, 7, 2, 5, 11, 4, 9, 6, 12, 8, 10]
        orders = [[base[i] for i in rng.permutation(4)] + base[4:8]
                  + [base[8 + i] for i in rng.permutation(4)] for _ in range(12)]
        _, ps = segment_tests(orders)
        self.assertGreater(len(set(ps)), 1, ps)

    def test_least_p_and_length(self) -> None:
        # The half of smallest runs first, or of largest: 2 of C(n, n/2)
        # orders; of odd n, either half of n -/+ 1 (checked on every order of
        # 8, 9 and 10 runs).
        for n, p in [(7, 1.0), (8, 2 / 70), (9, 2 / 70), (10, 2 / 252), (11, 2 / 252),
                     (12, 2 / 924), (13, 2 / 924)]:
            with self.subTest(n=n):
                self.assertAlmostEqual(least_p(n), p)
        # Orders beyond a series' statistic that still let it change: of
        # 99, 4 at 5 % (5 of 100 with the observed one); of 18, none can.
        for orders, level, expected in [(99, LEVEL, 4), (399, LEVEL, 19),
                                        (399, SPLIT_LEVEL, 9), (19, LEVEL, 0), (18, LEVEL, -1)]:
            with self.subTest(orders=orders, level=level):
                self.assertEqual(beyond_allowed(level, orders), expected)
        for case, level, expected in [("the first, at 5 %", LEVEL, 8),
                                      ("a later split, at 2.5 %", SPLIT_LEVEL, 10),
                                      ("18 series each at 5 / 18 %", LEVEL / 18, 12),
                                      ("just 2 / 252", 2 / 252, 10), ("just below", 0.0079, 12)]:
            with self.subTest(case):
                self.assertEqual(least_length(level), expected)


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
        # Fewer runs than any change point needs: said, host by host.
        for case, runs, expected in [
                ("7 runs", history(FLAT[:7]), ["vm: no change point can be found in fewer "
                                               "than 8 runs a row (7 runs)"]),
                ("8 runs", history(FLAT[:8]), ["no change point: no series changes at 5% "
                                               "(periods of 4 runs at least)"]),
                ("7 and 9 runs", history(FLAT[:7]) + history(FLAT[:9], host="db"),
                 ["vm: no change point can be found in fewer than 8 runs a row (7 runs)"])]:
            with self.subTest(case):
                text = io.StringIO()
                print_history(history_report(runs), Output("text", text))
                self.assertEqual(text.getvalue().splitlines()[:len(expected)], expected)
                self.assertIn("family: each host's rows (of a label), as ticks and relative "
                              "to the load, are one family:", " ".join(text.getvalue().split()))

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
                         "        50.0  [44.0, 56.0]  +47.6%  [+41.9%, +53.3%]  0.00216  differs"
                         "  ticks"),
                ("markdown", "| vm | program_run/pipe | 7 | 2026-11-07T03:00:00+00:00 | 105.0 "
                             "| 155.0 | 50.0 | [44.0, 56.0] | +47.6% | [+41.9%, +53.3%] "
                             "| 0.00216 | differs | ticks | - |"),
                ("csv", "changes,vm,program_run/pipe,7,2026-11-07T03:00:00+00:00,105.0,155.0,"
                        "50.0,44.0,56.0,47.6,41.9,53.3,0.00216,differs,ticks,-")]:
            with self.subTest(form):
                text = io.StringIO()
                print_history(report, Output(form, text, "changes"))
                self.assertIn(expected, text.getvalue())


# Rows of a host whose runs all move together with the machine's state.
LOADED = [PIPE, COLD, WARM, "program_run/tty", "program_parts/small_stack"]


def loaded_history(load: Sequence[float], steps: Sequence[Sequence[float]],
                   spread: Sequence[Sequence[float]] = ()) -> list[StoredRun]:
    """A run a day, each of the LOADED rows' medians 100, 200, ... times
    the run's load factor, times each row's step factor of the run
    (steps: runs x rows), times its own spread where given."""
    return [StoredRun(f"vm{i}", f"vm-{i}.json", "vm", "", f"2026-11-{i + 1:02d}T03:00:00+00:00",
                      {"kernel": "6.1.0-28"},
                      {row: 100.0 * (j + 1) * f * steps[i][j]
                       * (spread[i][j] if len(spread) else 1)
                       for j, row in enumerate(LOADED)})
            for i, f in enumerate(load)]


class Relative(unittest.TestCase):
    def test_relative_to_the_load(self) -> None:
        # Row medians of the logs: 100, 400, 400. Run 1's rows lie 1, 1/2
        # and 1 times those, its load 1; run 2's 2, 1 and 2, its load 2.
        # Runs 4 and 5 have two medians above 0: no load.
        nan = math.nan
        medians = np.array([[100, 200, 400], [200, 400, 800], [100, 400, 400],
                            [100, nan, 400], [100, 0, 400]], dtype=np.float64)
        half = -math.log(2)
        expected = np.array([[0, half, 0], [0, half, 0], [0, 0, 0], [nan] * 3, [nan] * 3])
        np.testing.assert_allclose(relative_logs(medians), expected, atol=1e-12)
        # A batch of hosts: each its own.
        np.testing.assert_allclose(relative_logs(np.stack([medians, medians * 3])),
                                   np.stack([relative_logs(medians)] * 2), atol=1e-12)
        # Each row's load from the others, of 3 others at least: row medians
        # of the logs 100, 400, 400, 100; run 1 lies 1, 1/2, 1, 1 times
        # them, run 2 2, 1, 2, 2 times, run 3 on them; run 4 has 3 rows.
        four = np.array([[100, 200, 400, 100], [200, 400, 800, 200], [100, 400, 400, 100],
                         [100, nan, 400, 100]], dtype=np.float64)
        left = np.array([[0, half, 0, 0], [0, half, 0, 0], [0] * 4, [nan] * 4])
        np.testing.assert_allclose(loads_left_out(four), left, atol=1e-12)
        self.assertTrue(np.isnan(loads_left_out(medians)).all())

    def test_load_leaves_out_the_row(self) -> None:
        # Five rows moved by one load; a step of 20 % in row j from run 6
        # on: row j's later values lie log 1.2 above its earlier ones, as
        # if no other row were there, whichever row it is.
        rng = np.random.default_rng(3)
        x = np.exp(rng.normal(size=(12, 5)) * 0.02 + rng.normal(size=(12, 1)) * 0.2)
        for j in range(5):
            with self.subTest(row=j):
                y = x.copy()
                y[6:, j] *= 1.2
                moved = loads_left_out(y)[:, j] - loads_left_out(x)[:, j]
                np.testing.assert_allclose(moved[6:] - moved[0], math.log(1.2), atol=1e-12)
                np.testing.assert_allclose(moved[:6], moved[0], atol=1e-12)

    def test_merged(self) -> None:
        cases: list[tuple[str, list[int], list[int], list[tuple[int, str]]]] = [
                ("none", [], [], []),
                ("ticks only", [10], [], [(10, TICKS)]),
                ("relative only", [], [5, 12], [(5, RELATIVE), (12, RELATIVE)]),
                ("3 runs from a ticks one: left out", [10], [7], [(10, TICKS)]),
                ("4 runs from it: kept", [10], [14], [(10, TICKS), (14, RELATIVE)]),
                ("the same run: left out", [10, 20], [10, 30],
                 [(10, TICKS), (20, TICKS), (30, RELATIVE)])]
        for case, ticks, relative, expected in cases:
            with self.subTest(case):
                self.assertEqual(merged(ticks, relative), expected)

    def test_a_host_s_rows_as_one_family(self) -> None:
        # 400 hosts of 20 runs and 5 rows, each run's rows moved by one load
        # factor as much as by their own spread: the share of hosts with a
        # change point on any row, as ticks or relative, is at most 5 %
        # give or take its chance (1.1 %); each series at 5 % alone would
        # give 40 %.
        rng = np.random.default_rng(2)
        groups = [np.exp(rng.normal(size=(20, 5)) * 0.05 + rng.normal(size=(20, 1)) * 0.05)
                  for _ in range(400)]
        found = [any(points for points in host) for host in found_in(groups)]
        self.assertLess(np.mean(found), 0.075)

    def test_a_family_s_edges(self) -> None:
        # Known answers at the edges of a host's family: a series of the
        # fewest runs that can change (8) is tested, one run fewer is not;
        # a series whose orders beyond it are exactly as many as allowed
        # (4 of 99) is found.
        cases = [("8 runs, a step", [1, 2, 3, 4, 11, 12, 13, 14], True),
                 ("7 runs, a step", [1, 2, 3, 4, 11, 12, 13], False),
                 ("beyond as many as allowed", [-14, 0, -1, 9, -9, -6, 21, -7, 49, 11, 10, 26],
                  True)]
        for case, values, expected in cases:
            with self.subTest(case):
                self.assertEqual(first_found(np.array(values, dtype=float)[:, None]), [expected])

    def test_one_row_steps(self) -> None:
        # The pipe row 20 % higher from the 13th run on, every run's rows
        # moved by one load factor of spread 15 %: the runs' medians hide
        # the step, their values relative to the load show it.
        load = np.exp(np.random.default_rng(5).normal(size=30) * 0.15)
        steps = [[1.2 if i >= 12 and j == 0 else 1.0 for j in range(len(LOADED))]
                 for i in range(30)]
        # Each row's own spread of 1 %: found on the pipe row only. The 3rd
        # run has two rows, and so no load: the pipe row's relative series
        # is of 29 runs, and the change point still the 13th run.
        spread = np.exp(np.random.default_rng(8).normal(size=(30, len(LOADED))) * 0.01)
        runs = loaded_history(load, steps, spread)
        runs[2] = dataclasses.replace(runs[2], medians={row: runs[2].medians[row]
                                                        for row in (PIPE, COLD)})
        series = history_report(runs).series
        self.assertTrue(math.isnan(series[0].relative[2]))
        self.assertEqual([s.row for s in series], LOADED)
        self.assertEqual([[(c.at, c.found) for c in s.changes] for s in series],
                         [[(12, RELATIVE)], [], [], [], []])
        # The pipe row asked for alone: the load is still of every row.
        (pipe,) = history_report(runs, rows=[PIPE]).series
        self.assertEqual([(c.at, c.found) for c in pipe.changes], [(12, RELATIVE)])
        # Without it, the relative values are known (the other rows' are 0
        # to the last bits, which the rank test sees: they are not asserted).
        series = history_report(loaded_history(load, steps)).series
        (change,) = series[0].changes
        self.assertEqual((change.at, change.found, change.verdict),
                         (12, RELATIVE, Verdict.DIFFERS))
        # Every earlier relative value one, every later one log 1.2 higher:
        # the interval is the step, of the earlier median in ticks.
        assert change.percent is not None and change.interval is not None
        self.assertAlmostEqual(change.percent.low, 20.0)
        self.assertAlmostEqual(change.percent.high, 20.0)
        self.assertAlmostEqual(change.interval.low, change.before * 0.2)
        self.assertAlmostEqual(change.interval.high, change.before * 0.2)
        self.assertLess(change.p_value or 1, 0.001)
        # The ticks change: the periods' medians as they are.
        self.assertAlmostEqual(change.before, st.median([100 * f for f in load[:12]]))
        self.assertAlmostEqual(change.after, st.median([120 * f for f in load[12:]]))
        text = io.StringIO()
        print_history(history_report(loaded_history(load, steps)),
                      Output("csv", text, "changes"))
        self.assertIn(f"changes,vm,{PIPE},13,", text.getvalue())
        self.assertIn(",20.0,20.0,", text.getvalue())
        self.assertIn(",differs,relative,", text.getvalue())

    def test_machine_wide_step(self) -> None:
        # Every row 20 % higher from the 16th run on, the load spread 2 %:
        # found as ticks on every row, and relative to the load on none.
        rng = np.random.default_rng(6)
        load = np.exp(rng.normal(size=30) * 0.02)
        steps = [[1.2 if i >= 15 else 1.0] * len(LOADED) for i in range(30)]
        spread = np.exp(rng.normal(size=(30, len(LOADED))) * 0.01)
        series = history_report(loaded_history(load, steps, spread)).series
        for s in series:
            with self.subTest(s.row):
                # A part tested again may split by chance: not asserted.
                self.assertIn((15, TICKS), [(c.at, c.found) for c in s.changes])
                self.assertNotIn(RELATIVE, [c.found for c in s.changes])

    def test_no_change(self) -> None:
        rng = np.random.default_rng(7)
        load = np.exp(rng.normal(size=30) * 0.15)
        spread = np.exp(rng.normal(size=(30, len(LOADED))) * 0.03)
        series = history_report(loaded_history(load, [[1.0] * len(LOADED)] * 30,
                                               spread)).series
        self.assertEqual([s.changes for s in series], [[]] * len(LOADED))


class CommandLine(unittest.TestCase):
    def call(self, *argv: str) -> tuple[int, str, str]:
        out, err = io.StringIO(), io.StringIO()
        with unittest.mock.patch("sys.stdout", out), unittest.mock.patch("sys.stderr", err):
            status = run(list(argv))
        return status, out.getvalue(), err.getvalue()

    def test_options_reach_the_store(self) -> None:
        runs = history(EARLIER + LATER)
        options = ["--host", "vm", "--host", "other", "--row", PIPE, "--label", "",
                   "--since", "2026-11-01", "--until", "2026-12-01", "--format", "csv",
                   "--table", "changes"]
        # The command, and the older command line, which says which command
        # it is; both say that no run is of the host "other".
        other = ("thread-start-analyze: note: --host other: no stored run of the choice "
                 "asked for has it\n")
        pointer = ("thread-start-analyze: note: this is 'thread-start-analyze history ...' "
                   "now; the old form will keep working\n")
        for argv in (["history", "--store", "s.db"], ["--store", "s.db", "--history"]):
            with self.subTest(argv[0]), \
                    unittest.mock.patch("analyze.store.count_runs", return_value=len(runs) + 1), \
                    unittest.mock.patch("analyze.store.stored_runs", return_value=runs) as stored:
                status, out, err = self.call(*argv, *options)
                self.assertEqual((status, err.startswith(other), err.endswith(pointer)),
                                 (0, True, argv[0] != "history"), err)
                # Every row asked for: the load is of them all.
                stored.assert_called_once_with("s.db", ["vm", "other"], (), [""], "2026-11-01",
                                               "2026-12-01")
                # Only the row asked for, though the runs have two.
                self.assertNotIn(COLD, out)
                self.assertIn("changes,vm,program_run/pipe,7,", out)
                # The change point, in words, first of CSV's notes.
                self.assertIn("\nnote: vm program_run/pipe: +47.6 % [+41.9, +53.3] from ", err)

    def test_picture(self) -> None:
        runs = history(EARLIER + LATER) + history(FLAT, host="other")
        with tempfile.TemporaryDirectory() as directory, \
                unittest.mock.patch("analyze.store.stored_runs", return_value=runs):
            path = os.path.join(directory, "history.png")
            status, out, err = self.call("history", "--store", "s.db", "--plot", path)
            self.assertEqual((status, err), (0, ""))
            self.assertIn(f"picture: {path}", out)
            with open(path, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_picture_s_dates(self) -> None:
        from analyze import plot

        def dated(*dates: str) -> list[StoredRun]:
            runs = history(FLAT)
            return [dataclasses.replace(r, date=d) for r, d in zip(runs, dates)] + runs[len(dates):]

        order = "the runs are drawn in their order in their series: "
        beyond = "beyond the years of a time axis in UTC"
        # The runs (16 a host) and what the picture says of their dates.
        cases: list[tuple[str, list[StoredRun], str | None]] = [
            ("dates with offsets and without", dated(*(f"2026-11-{d:02d}T03:00" + "Z" * (d % 2)
                                                       for d in range(1, 17))), None),
            ("no date", dated(*["2026-11-01"] * 3, ""), "run 4 of vm has no date"),
            ("not ISO 8601", dated("yesterday"), "run 1 of vm has the date 'yesterday', not ISO 8601"),
            ("year 1, an offset", dated("0001-01-01T00:00+01:00"),
             f"run 1 of vm has the date '0001-01-01T00:00+01:00', {beyond}"),
            ("year 9999, an offset", dated("9999-12-31T23:00-01:00"),
             f"run 16 of vm has the date '9999-12-31T23:00-01:00', {beyond}"),
            ("year 1 in UTC", dated(*[f"0001-01-{d:02d}" for d in range(1, 17)]), "the dates, "
             "0001-01-01 to 0001-01-16 UTC, are beyond the years a time axis can draw"),
            ("another host's run", history(FLAT, host="x") + dated(*["2026-11-01"] * 15, ""),
             "run 16 of vm has no date")]
        for case, runs, why in cases:
            with self.subTest(case), tempfile.TemporaryDirectory() as directory, \
                    unittest.mock.patch("analyze.store.stored_runs", return_value=runs), \
                    unittest.mock.patch("analyze.plot.save", wraps=plot.save) as saved:
                path = os.path.join(directory, "history.png")
                status, out, err = self.call("history", "--store", "s.db", "--plot", path)
                self.assertEqual((status, err), (0, ""))
                said = " ".join(out.split())
                self.assertEqual(f"--plot {path}: {order}{why}" in said, why is not None, said)
                self.assertEqual(order in said, why is not None, said)
                fig = saved.call_args[0][0]
                x = fig.axes[0].lines[0].get_xdata()
                self.assertEqual(list(x) == list(range(1, 17)), why is not None, x[:2])
                self.assertEqual(fig.axes[-1].get_xlabel().endswith(f"not by date: {why}"),
                                 why is not None)
        with unittest.mock.patch("analyze.store.stored_runs", return_value=dated("")), \
                unittest.mock.patch("analyze.plot.history_figure", side_effect=ValueError("no")):
            self.assertEqual(self.call("history", "--store", "s.db", "--plot", "h.png")[::2],
                             (2, "thread-start-analyze: --plot h.png: the history cannot be "
                              "drawn: no\n"))

    def test_picture_s_rows_scale_and_causes(self) -> None:
        from analyze.plot import history_figure

        # Rows declared in an order neither first met (the pipe's) nor
        # alphabetical; the kernel changes where the pipe row steps up.
        declared = f"{WARM} {PIPE} {COLD}"
        context: list[dict[str, object]] = [{"rows": declared, "kernel": "6.1"}] * 6
        context += [{"rows": declared, "kernel": "6.12"}] * 6
        runs = history(EARLIER + LATER, context=context)
        for r in runs:
            r.medians[WARM] = 50.0
        report = history_report(runs)
        self.assertEqual([s.row for s in report.series], [WARM, PIPE, COLD])
        fig = history_figure(report)
        self.assertEqual([ax.get_title(loc="left") for ax in fig.axes], [WARM, PIPE, COLD])
        # Every panel from 0, and above its largest median.
        self.assertEqual([ax.get_ylim()[0] for ax in fig.axes], [0.0] * 3)
        self.assertGreater(fig.axes[1].get_ylim()[1], 160)
        self.assertEqual([[t.get_text() for t in ax.texts] for ax in fig.axes],
                         [[], ["+47.6% (found ticks, differs): kernel 6.1 -> 6.12"], []])

    def test_refused(self) -> None:
        cases = [
            (["--history"], "--history needs --store PATH"),
            (["--host", "vm", "a.json"], "--host, --row and --label go with --store PATH --history"),
            (["--store", "s.db", "--history", "--latest", "2"], "--history reads the store"),
            (["--store", "s.db", "--history", "a.json"], "--history reads the store"),
            (["--store", "s.db", "--history", "--since", "last week"],
             "--since 'last week': not a date"),
            (["--store", "s.db", "--history", "--until", "2026-13-01"],
             "--until '2026-13-01': not a date"),
            (["--store", "s.db", "--history"], "s.db: No such file or directory"),
            (["history"], "history: the following arguments are required: --store"),
            (["history", "--store", "s.db", "--latest", "2"], "history takes no --latest"),
            (["history", "--store", "s.db", "a.json"], "history: unrecognized arguments: a.json"),
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
                                   {PIPE: [9, 10, 11], COLD: [4, 5, 6],
                                    WARM: [2, 3, 4]}) for i in range(12)]
            out = io.StringIO()
            for table in ("level", "steps"):
                with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
                    status = calibration["main"](files + ["--lengths", "10,20", "--steps",
                                                          "4+6,4+26", "--histories", "3",
                                                          "--format", "csv", "--table", table])
                self.assertEqual(status, 0)
        self.maxDiff = None
        notes = ["note: periods of 4 runs at least; a step with fewer runs a side than that "
                 "cannot be found",
                 "note: left out: histories of 20, 30 runs, more than the 12 files given"]
        self.assertEqual(out.getvalue().splitlines(), [
            "table,runs,histories,found %,ticks %,relative %,any row %",
            "level,10,9,0.0,0.0,0.0,0.0", *notes,
            "table,before,after,histories,typical %,worst %,worst row,relative %,every row %",
            # Every later run above every earlier: found as ticks, and the
            # relative change point at the same run is left out.
            "steps,4,6,3,100.0,100.0,program_run/pipe,0.0,100.0", *notes,
        ])
