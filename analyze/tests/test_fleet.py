"""The fleet's rule as a function, and the fleet's report on hand-made
hosts whose answers are known: which hosts stand out, why no verdict, and
the context entries in which an outlier differs."""

from __future__ import annotations

import io
import unittest
import unittest.mock

import numpy as np

from analyze.fleet import (Cause, dealt_p_values, fleet_report, gaps, least_p_value,
                           marked_rows, outlying_hosts, print_fleet, relative)
from analyze.reader import Group, Results
from analyze.tables import Output

from .fixtures import results_of


def host(name: str, *medians: float, **context: object) -> Group:
    """A host of a run a median, each run's pipe row three repetitions
    around it, its context the label and the entries given."""
    return Group(name, [results_of({"program_run/pipe": [m - 3, m, m + 5]},
                                   {"cold_helper": "/x", "label": name, **context},
                                   path=f"{name}-{i}.json")
                        for i, m in enumerate(medians, 1)])


def marked(groups: list[Group]) -> dict[str, list[str]]:
    return {h.name: h.outlying for h in fleet_report(groups).hosts if h.outlying}


class Rule(unittest.TestCase):
    def test_hosts_marked(self) -> None:
        # case, each host's run medians (a column each), the hosts marked
        # with their columns, the furthest first.
        cases: list[tuple[str, list[list[list[float]]], list[tuple[int, list[int]]]]] = [
            ("identical", [[[100], [102], [101]]] * 3, []),
            ("one of 3, far", [[[100], [102], [101], [99]], [[100], [102], [101], [99]],
                               [[130], [131], [129], [132]]], [(2, [0])]),
            ("below", [[[100], [102], [101], [99]], [[70], [71], [69], [72]],
                       [[100], [102], [101], [99]]], [(1, [0])]),
            ("two of 6, furthest first",
             [[[100], [101], [99], [100]], [[150], [151], [149], [150]],
              [[100], [102], [101], [99]], [[99], [100], [101], [100]],
              [[200], [201], [199], [200]], [[101], [100], [102], [99]]], [(4, [0]), (1, [0])]),
            ("on its second column only",
             [[[10, 100], [11, 102], [9, 101], [10, 99]], [[10, 100], [11, 102], [9, 101],
                                                          [10, 99]],
              [[10, 130], [11, 131], [9, 129], [10, 132]]], [(2, [1])]),
            ("no spread, no gap", [[[5], [5], [5]]] * 3, []),
            ("no spread, a gap", [[[5], [5], [5]], [[5], [5], [5]], [[6], [6], [6]]],
             [(2, [0])]),
            ("3 hosts of 2 runs: together in 1 of 5 dealings",
             [[[100], [101]], [[100], [101]], [[500], [501]]], []),
            ("a gap within the runs' spread",
             [[[100], [110], [90], [105]], [[101], [111], [89], [104]],
              [[104], [114], [94], [109]]], []),
        ]
        for case, medians, expected in cases:
            with self.subTest(case):
                self.assertEqual(outlying_hosts(medians), expected)

    def test_too_few_refused(self) -> None:
        for case, medians in [("2 hosts", [[1, 2], [3, 4]]), ("1 run", [[1, 2], [3, 4], [5]])]:
            with self.subTest(case), self.assertRaises(ValueError):
                outlying_hosts(medians)

    def test_p_values_count_the_observed_dealing_and_ties(self) -> None:
        # (observed gaps, the dealings' largest gaps, p-values), one a line.
        cases = [([3.0], [1, 2, 3], [0.5]), ([4.0], [1, 2, 3], [0.25]),
                 ([0.5, 2.0], [1, 2, 3], [1.0, 0.75]), ([3.0 - 1e-12], [1, 2, 3], [0.5])]
        for observed, dealt, p in cases:
            np.testing.assert_allclose(dealt_p_values(np.array(observed), np.array(dealt)), p,
                                       err_msg=str(observed))

    def test_the_dealings_are_the_same_whatever_their_batches(self) -> None:
        rng = np.random.default_rng(5)
        # 15 runs of 2 columns: 30 values a dealing.
        medians = [rng.normal(100, 5, (n, 2)) for n in (4, 5, 6)]
        dealt: dict[str, list[np.ndarray]] = {}
        # case, the values dealt at once
        for case, at_once in (("100 at once", 1 << 19), ("one at a time", 30),
                              ("7 at a time", 7 * 30 + 29)):
            with unittest.mock.patch("analyze.fleet.DEALT_VALUES", at_once), \
                    unittest.mock.patch("analyze.fleet.dealt_p_values",
                                        side_effect=dealt_p_values) as held, \
                    unittest.mock.patch("analyze.fleet.gaps", side_effect=gaps) as dealing:
                outlying_hosts(medians)
            dealt[case] = [c.args[1] for c in held.call_args_list]
            self.assertLessEqual(max(c.args[0].size for c in dealing.call_args_list), at_once,
                                 case)
            self.assertEqual([len(d) for d in dealt[case]], [999], case)
            self.assertTrue(np.array_equal(dealt[case], dealt["100 at once"]), case)

    def test_the_least_p_value(self) -> None:
        # runs a host, the least p-value: a host's runs dealt together.
        for counts, least in [([2, 2, 2], 3 / 15), ([2, 2, 2, 2], 4 / 28), ([4, 4, 4], 3 / 495),
                              ([2, 2, 3], 1 / 35), ([2] * 12, 12 / 276)]:
            self.assertAlmostEqual(least_p_value(counts), least, places=12, msg=counts)

    def test_identical_hosts_of_heavy_tails_marked_at_most_5_percent(self) -> None:
        # Runs whose medians have tails far heavier than normal (Student's t
        # of 2 degrees of freedom): the test by dealing holds its level.
        rng = np.random.default_rng(3)
        fleets = 300
        marked_fleets = sum(bool(outlying_hosts(list(rng.standard_t(2, (6, 3, 2)))))
                            for _ in range(fleets))
        self.assertLessEqual(marked_fleets / fleets, 0.08)


# The load of each run: every row of a run slower alike.
LOADS = (1.0, 1.5, 0.8, 1.2)


def loaded(name: str, rows: int, shifted: dict[int, float], loads: tuple[float, ...] = LOADS
           ) -> Group:
    """A host of a run a load, rows r1, r2, ... of 100, 200, ... ticks
    times the load, a little noise of its own, and the rows of `shifted`
    made that much higher."""
    files = []
    for i, load in enumerate(loads):
        medians = {f"r{j + 1}": 100 * (j + 1) * load * (1 + 0.01 * ((3 * i + j) % 5 - 2))
                   * (1 + shifted.get(j, 0)) for j in range(rows)}
        files.append(results_of({row: [m - 1, m, m + 1] for row, m in medians.items()},
                                {"cold_helper": "/x", "label": name}, path=f"{name}-{i}.json"))
    return Group(name, files)


class Relative(unittest.TestCase):
    def test_each_run_less_its_load(self) -> None:
        # In logarithms: the fleet's median of each row over the five runs
        # is 1, 1, 2; a run's load is the median of its rows above those.
        e = np.exp
        shares = relative([e(np.array([[0, 1, 2], [1, 2, 3]], dtype=float)),
                           e(np.array([[0, 1, 5], [2, 1, 2], [1, 2, 2]], dtype=float))])
        assert shares is not None
        for got, expected in zip(shares, [[[-1, 0, 0], [-1, 0, 0]],
                                          [[-1, 0, 3], [1, 0, 0], [0, 1, 0]]]):
            np.testing.assert_allclose(got, expected, atol=1e-12)

    def test_none_without_enough_rows_or_ticks(self) -> None:
        for case, runs in [("2 rows", [[1, 2], [3, 4.0]]), ("no ticks", [[1, 2, 0], [1, 2, 3]])]:
            with self.subTest(case):
                self.assertIsNone(relative([np.array(runs, dtype=float)]))

    def test_rows_and_their_relative_shares_tested_together(self) -> None:
        # case, rows, a median of no ticks, the columns tested in one test.
        cases = [("relative too", 3, False, 6), ("2 rows: ticks only", 2, False, 2),
                 ("no ticks: ticks only", 3, True, 3)]
        for case, rows, zero, columns in cases:
            with self.subTest(case):
                runs = [np.full((2, rows), 10.0) for _ in range(3)]
                runs[0][0, 0] = 0 if zero else 10
                with unittest.mock.patch("analyze.fleet.outlying_hosts",
                                         return_value=[]) as rule:
                    marked_rows(runs, [f"r{j}" for j in range(rows)])
                self.assertEqual(rule.call_count, 1)
                self.assertEqual({x.shape for x in rule.call_args.args[0]}, {(2, columns)})

    def test_a_row_found_as_ticks_is_named_so(self) -> None:
        runs = [np.full((2, 3), 10.0) for _ in range(3)]
        # (columns found, the names marked): a row as ticks before relative.
        cases = [([1], ["r1"]), ([4], ["r1 (relative)"]), ([1, 4], ["r1"]),
                 ([0, 5], ["r0", "r2 (relative)"])]
        for found, names in cases:
            with unittest.mock.patch("analyze.fleet.outlying_hosts",
                                     return_value=[(2, found)]):
                self.assertEqual(marked_rows(runs, ["r0", "r1", "r2"])[2], names, found)

    def test_a_row_under_load(self) -> None:
        # case, rows, each host's loads, the slow host's row made 30 %
        # higher, what it is marked on.
        still = (1.0, 1.0, 1.0, 1.0)
        cases: list[tuple[str, int, tuple[float, ...], list[str]]] = [
            ("found against the run's load", 5, LOADS, ["r2 (relative)"]),
            ("found against the run's load, 3 rows", 3, LOADS, ["r2 (relative)"]),
            ("found as ticks without load", 5, still, ["r2"]),
            ("too few rows to tell it from the load", 2, LOADS, []),
        ]
        for case, rows, loads, expected in cases:
            with self.subTest(case):
                groups = [loaded(h, rows, {}, loads) for h in "abc"]
                groups.append(loaded("slow", rows, {1: 0.3}, loads))
                self.assertEqual(marked(groups), {"slow": expected} if expected else {})


class Report(unittest.TestCase):
    def test_identical_hosts_none(self) -> None:
        for hosts in (3, 6, 12):
            with self.subTest(hosts=hosts):
                groups = [host(f"h{i}", 100, 104, 98, 101) for i in range(hosts)]
                self.assertEqual(marked(groups), {})

    def test_one_shifted_host_only(self) -> None:
        for hosts in (3, 4, 8):
            with self.subTest(hosts=hosts):
                groups = [host(f"h{i}", 100, 104, 98, 101) for i in range(hosts - 1)]
                groups.insert(1, host("slow", 130, 134, 128, 131))
                self.assertEqual(marked(groups), {"slow": ["program_run/pipe"]})

    def test_no_verdict_and_why(self) -> None:
        cases = [
            ("2 hosts", [host("a", 1, 2), host("b", 100, 101)],
             "no verdict: 2 hosts; outliers need 3 hosts at least"),
            ("a host of 1 run", [host("a", 1, 2), host("b", 1, 2), host("c", 100)],
             "no verdict: c with fewer than 2 runs; outliers need 2 runs a host at least"),
            ("3 hosts of 2 runs", [host("a", 1, 2), host("b", 1, 2), host("c", 100, 101)],
             "no verdict: 6 runs on 3 hosts deal a host's runs together by chance in 1 of 5 "
             "ways; a test at 5% needs 1 in 20 or fewer: give more runs a host"),
        ]
        for case, groups, why in cases:
            with self.subTest(case):
                report = fleet_report(groups)
                self.assertEqual(report.no_verdict, why)
                self.assertEqual([h.outlying for h in report.hosts], [[]] * len(groups))
                out = io.StringIO()
                printed = Output("csv", io.StringIO(), errors=out)
                print_fleet(report, printed)
                printed.finish()
                self.assertIn(f"note: {why}\n", out.getvalue())

    def test_a_row_some_files_lack_is_not_judged(self) -> None:
        def both(name: str, pipe: float, cold: bool = True) -> Results:
            rows = {"program_run/pipe": [pipe - 3, pipe, pipe + 5]}
            if cold:
                rows["cold_thread_start"] = [500, 500, 500]
            return results_of(rows, {"cold_helper": "/x", "label": name})

        groups = [Group(h, [both(h, 100), both(h, 102), both(h, 101)]) for h in "abc"]
        groups.append(Group("d", [both("d", 1), both("d", 2, cold=False), both("d", 3)]))
        report = fleet_report(groups)
        self.assertEqual((report.rows, report.unjudged),
                         (["program_run/pipe", "cold_thread_start"], ["cold_thread_start"]))
        self.assertEqual(marked(groups), {"d": ["program_run/pipe"]})
        out = io.StringIO()
        printed = Output("csv", io.StringIO(), errors=out)
        print_fleet(report, printed)
        printed.finish()
        self.assertIn("note: no verdict on cold_thread_start: not measured in every file\n",
                      out.getvalue())

    def test_no_reason_where_a_verdict_is_given(self) -> None:
        self.assertEqual(fleet_report([host(h, 1, 2, 3) for h in "abc"]).no_verdict, "")


class Causes(unittest.TestCase):
    def setUp(self) -> None:
        common = {"kernel": "6.1", "tunables": "none", "benchmark_version": "1.7.1"}
        self.groups = [host(h, 100, 104, 98, 101, load_avg=[load, 1.0, 1.0],
                            date=f"2026-01-0{i}", **common)
                       for i, (h, load) in enumerate([("a", 0.5), ("b", 0.25), ("c", 1.5)], 1)]
        self.groups.append(host("arena", 130, 134, 128, 131, load_avg=[2.0, 1.0, 1.0],
                                date="2026-01-09",
                                **{**common, "tunables": "MALLOC_ARENA_MAX=1"}))

    def test_the_entries_that_differ_and_the_load(self) -> None:
        report = fleet_report(self.groups)
        self.assertEqual(report.causes, [
            Cause("arena", "tunables", "MALLOC_ARENA_MAX=1", "none"),
            Cause("arena", "load_avg (1 min)", "2.00 (median of 4)", "0.25 to 1.50"),
        ])

    def test_an_entry_some_others_share_is_no_cause(self) -> None:
        # A kernel that one other host has too, a label, a host name and a
        # date that every host has its own of: none named.
        self.groups[0] = host("a", 100, 104, 98, 101, kernel="6.9", tunables="none",
                              host_name="a.example")
        self.groups[3] = host("arena", 130, 134, 128, 131, kernel="6.9",
                              tunables="MALLOC_ARENA_MAX=1", host_name="x.example")
        report = fleet_report(self.groups)
        self.assertEqual([(c.host, c.entry) for c in report.causes], [("arena", "tunables")])

    def test_none_without_an_outlier(self) -> None:
        self.assertEqual(fleet_report(self.groups[:3]).causes, [])

    def test_the_table_after_the_fleet(self) -> None:
        out = io.StringIO()
        print_fleet(fleet_report(self.groups), Output("csv", out, "causes"))
        lines = out.getvalue().splitlines()
        self.assertEqual(lines, [
            "table,host,entry,its value,the others'",
            "causes,arena,tunables,MALLOC_ARENA_MAX=1,none",
            "causes,arena,load_avg (1 min),2.00 (median of 4),0.25 to 1.50",
        ])
        out = io.StringIO()
        print_fleet(fleet_report(self.groups), Output("csv", out))
        self.assertIn("fleet,arena,4,130.5,", out.getvalue())



class Calibration(unittest.TestCase):
    def test_known_shares(self) -> None:
        """Runs all alike: no fleet of them marks a host, and one host made
        higher on a row is always found, and no other."""
        import contextlib
        import os
        import runpy
        import tempfile

        from .fixtures import write_results

        tools = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(__file__)))), "tools", "fleet_calibration.py")
        calibration = runpy.run_path(tools, run_name="fleet_calibration")
        with tempfile.TemporaryDirectory() as directory:
            files = [write_results(os.path.join(directory, f"{i}.json"),
                                   {"program_run/pipe": [9, 10, 11],
                                    "cold_thread_start": [4, 5, 6]}) for i in range(10)]
            out = io.StringIO()
            with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
                calibration["main"](files + ["--hosts", "3", "--runs", "2,3,4",
                                             "--shifted-runs", "3", "--fleets", "5",
                                             "--format", "csv"])
        self.assertEqual(out.getvalue().splitlines(), [
            "table,hosts,runs a host,shift,shifted host marked %,any other marked %",
            "calibration,3,2,none,,",
            "calibration,3,3,none,,0.0",
            "calibration,3,3,30% higher on one row,100.0,0.0",
            "note: 3 hosts of 4 runs: more runs than the 10 given",
            "note: 3 hosts of 2 runs: too few runs for a verdict (see --fleet)",
        ])
