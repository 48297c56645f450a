"""The reports as data, on small files whose answers are known; the
picture; and the command line: what each call imports and how it ends;
and that no module of the package imports one that imports it back."""

from __future__ import annotations

import ast
import io
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from analyze import statistics as st
from analyze.__main__ import main
from analyze.answer import DIFFERS, NO_CHANGE, answer_of_run, answer_of_runs, print_answer
from analyze.errors import Unusable
from analyze.estimates import Change, Interval, Reading
from analyze.fleet import fleet_report
from analyze.label_runs import label_runs_report, print_label_runs
from analyze.one_file import one_file_report
from analyze.reader import Group, Lever, Results
from analyze.sides import Verdict, gate, groups_of, print_sides, sides_report
from analyze.tables import Output, Spread

from .fixtures import KNOWN, results_of, write_results

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def runs(label: str, *medians: float) -> list[Results]:
    """A run a median, its pipe row three repetitions around it."""
    return [results_of({"program_run/pipe": [m - 3, m, m + 5]}, {"label": label},
                       path=f"{label}{i}.json") for i, m in enumerate(medians, 1)]


class OneFile(unittest.TestCase):
    def setUp(self) -> None:
        self.report = one_file_report(Results.read(KNOWN))

    def test_rows(self) -> None:
        pipe = self.report.rows[0]
        self.assertEqual(pipe, ("program_run/pipe", 10, 5.5, 9.0, 10.0))
        self.assertEqual([s.row for s in self.report.rows][-2:],
                         ["cold_thread_start", "warm_create_join"])

    def test_gaps_are_the_first_row_less_the_second(self) -> None:
        gaps = {g.name: g for g in self.report.gaps}
        self.assertEqual({name: g.gap.value for name, g in gaps.items() if g.gap}, {
            "first line": 1.5, "terminal write": -5.5, "cold over warm": 2.0})
        # 10 and 11 repetitions carry an interval; 3 or 2 on one side do not.
        first = gaps["first line"].gap
        assert first is not None and first.interval is not None
        self.assertLessEqual(first.interval.low, first.value)
        self.assertLessEqual(first.value, first.interval.high)
        self.assertEqual([gaps[name].gap for name in ("terminal write", "cold over warm")],
                         [Reading(-5.5, None), Reading(2.0, None)])

    def test_no_gap_repeats_a_lever(self) -> None:
        levers = {(e.lever.row, e.lever.base) for e in self.report.levers}
        for g in self.report.gaps:
            with self.subTest(gap=g.name):
                self.assertNotIn((g.base, g.row), levers)
                self.assertNotIn((g.row, g.base), levers)

    def test_a_gap_without_its_rows_is_not_measured(self) -> None:
        report = one_file_report(results_of({"program_run/pipe": [1, 2, 3]}))
        self.assertEqual([g.gap for g in report.gaps], [None] * 3)
        self.assertIsNone(report.parts)
        self.assertEqual(report.levers, [])

    def test_parts_and_their_shares_of_the_span(self) -> None:
        parts = self.report.parts
        assert parts is not None
        self.assertEqual([(p.part, p.median.value, p.share) for p in parts.parts], [
            ("creator", 8.0, 0.4), ("new_thread", 2.0, 0.1), ("first_line", 4.0, 0.2),
            ("rest", 4.0, 0.2)])
        self.assertEqual(parts.span.value, 20.0)
        assert parts.instrumentation is not None
        self.assertEqual(parts.instrumentation.gap.value, 14.5)
        self.assertAlmostEqual(parts.instrumentation.change.percent or 0, 14.5 / 5.5 * 100)

    def test_each_lever_on_its_ticks_and_the_counter_it_acts_on(self) -> None:
        effects = [(e.lever.row, e.counter, e.gap.value if e.gap else None, e.change)
                   for e in self.report.levers]
        self.assertEqual(effects, [
            ("program_run/pipe_one_arena", "ticks", -2.5, Change(-2.5, -2.5 / 5.5 * 100)),
            ("program_run/pinned", "ticks", -5.5, Change(-5.5, -100.0)),
            ("program_parts/own_stack", "ticks", -5.0, Change(-5.0, -25.0)),
            ("program_parts/own_stack", "creator", -5.0, Change(-5.0, -62.5)),
        ])

    def test_a_lever_without_its_base_row_is_not_measured(self) -> None:
        r = results_of({"program_run/pinned": [1, 2]},
                       levers=[Lever("program_run/pinned", "program_run/pipe", "ticks")])
        (effect,) = one_file_report(r).levers
        self.assertIsNone(effect.gap)
        self.assertIsNone(effect.change)


def pipe_and_pinned(pipe: list[float], pinned: list[float], path: str = "made.json",
                    cold: list[float] | None = None) -> Results:
    """A run of the pipe row and the pinned lever on it, and the cold row."""
    rows = {"program_run/pipe": pipe, "program_run/pinned": pinned}
    if cold is not None:
        rows["cold_thread_start"] = cold
    return results_of(rows, path=path,
                      levers=[Lever("program_run/pinned", "program_run/pipe", "ticks")])


class AnswerOfOneRun(unittest.TestCase):
    def test_the_figures_of_the_known_file(self) -> None:
        r = Results.read(KNOWN)
        answer = answer_of_run(r)
        self.assertEqual(answer.runs, 1)
        figures = {f.name: f for f in answer.figures}
        self.assertEqual(list(figures), [
            "cold thread start", "warm thread start", "first line", "the program's span",
            "the program's process CPU", "the program's wall time"])
        # name | from | unit | value | interval (None: too few repetitions).
        # Ranks 2 and n - 1 of the 10 values of the pipe and the 11 of the
        # cold start at 95 %; the first line from ranks 2 and 9 of the pipe
        # and 2 and 10 of the cold start at 97.5 %: [2 - 6, 9 - 1].
        self.assertEqual(one_file_report(r).gaps[0].gap, Reading(1.5, Interval(-4.0, 8.0)))
        for name, source, unit, value, interval in [
            ("cold thread start", "cold_thread_start", "ticks", 4.0, Interval(1.0, 6.0)),
            ("warm thread start", "warm_create_join", "ticks per thread", 2.0, None),
            ("first line", "program_run/pipe - cold_thread_start", "ticks", 1.5,
             Interval(-4.0, 8.0)),
            ("the program's span", "program_run/pipe", "ticks", 5.5, Interval(2.0, 9.0)),
            ("the program's process CPU", "program_run/pipe process_cpu", "µs", 155.0,
             Interval(120.0, 190.0)),
            ("the program's wall time", "program_run/pipe wall", "µs", 410.0,
             Interval(340.0, 480.0)),
        ]:
            with self.subTest(figure=name):
                f = figures[name]
                self.assertEqual((f.source, f.unit, f.reading), (source, unit,
                                                                 Reading(value, interval)))

    def test_a_figure_whose_rows_the_file_lacks_is_not_measured(self) -> None:
        answer = answer_of_run(results_of({"program_run/pipe": [1, 2, 3, 4, 5, 6]}))
        self.assertEqual([f.reading is not None for f in answer.figures],
                         [False, False, False, True, False, False])

    def test_too_few_repetitions_no_interval_no_verdict(self) -> None:
        # A lever alone takes each median at 97.5 %: 7 repetitions at least.
        for n, verdict in [(5, None), (6, None), (7, DIFFERS), (8, DIFFERS)]:
            with self.subTest(n=n):
                (lever,) = answer_of_run(pipe_and_pinned([10.0 + i for i in range(n)],
                                                         [float(i) for i in range(n)])).levers
                assert lever.change is not None
                self.assertEqual((lever.change.interval is None, lever.verdict),
                                 (verdict is None, verdict))

    def test_a_lever_s_change_and_interval_in_percent_and_its_verdict(self) -> None:
        pipe = [100.0 + i for i in range(8)]
        # Every repetition 10 fewer. Of 8 values at 97.5 % the interval is the
        # least and the greatest: [90, 97] against [100, 107], the ratio's
        # least 90 / 107 and greatest 97 / 100.
        (faster,) = answer_of_run(pipe_and_pinned(pipe, [v - 10 for v in pipe])).levers
        self.assertEqual((faster.row, faster.base, faster.counter),
                         ("program_run/pinned", "program_run/pipe", "ticks"))
        assert faster.change is not None
        self.assertAlmostEqual(faster.change.value, -10 / 103.5 * 100)
        self.assertEqual(faster.change.interval, Interval((90 / 107 - 1) * 100, (97 / 100 - 1) * 100))

        self.assertEqual(faster.verdict, DIFFERS)
        # The same values in another order: no change.
        (same,) = answer_of_run(pipe_and_pinned(pipe, pipe[::-1])).levers
        assert same.change is not None and same.change.interval is not None
        self.assertEqual(same.change.value, 0.0)
        self.assertLess(same.change.interval.low, 0)
        self.assertGreater(same.change.interval.high, 0)
        self.assertEqual(same.verdict, NO_CHANGE)

    def test_printed_first_in_the_one_file_report(self) -> None:
        text = io.StringIO()
        main([KNOWN], text)
        lines = text.getvalue().splitlines()
        self.assertIn("clock(3) ticks, µs of processor time", lines[0])
        self.assertRegex(lines[3], r"^warm thread start +warm_create_join +2\.0 +"
                                   r"too few repetitions +ticks per thread$")
        self.assertRegex(lines[9], r"^lever +program_run/pinned - program_run/pipe +-100\.0 +"
                                   r"too few repetitions +%$")
        self.assertIn("describe this run alone", text.getvalue().replace("\n", " "))

    def test_each_word_a_lever_can_have(self) -> None:
        pipe = [100.0 + i for i in range(8)]
        out = io.StringIO()
        for pinned in ([v - 10 for v in pipe], pipe[::-1], pipe[:5]):
            print_answer(answer_of_run(pipe_and_pinned(pipe[:len(pinned)], pinned)),
                         Output("csv", out, "answer"))
        levers = [line for line in out.getvalue().splitlines() if ",lever," in line]
        self.assertEqual([line.rsplit(",", 2)[1:] for line in levers],
                         [["%", DIFFERS], ["%", NO_CHANGE], ["%", ""]])
        # A base whose interval reaches 0 (ranks 1 and 8 of 8 at 97.5 %):
        # a change, no interval and no verdict, as the bench says it.
        base = [0.0, 0.0, 0.0, 5.0, 5.0, 5.0, 5.0, 5.0]
        out = io.StringIO()
        print_answer(answer_of_run(pipe_and_pinned(base, [v + 1 for v in base])),
                     Output("text", out, "answer"))
        self.assertRegex(out.getvalue(), r"\nlever +program_run/pinned - program_run/pipe +20\.0 +"
                                         r"no interval: the base's reaches 0 +%\n")


class AnswerOfRuns(unittest.TestCase):
    def runs(self, count: int) -> list[Results]:
        """Runs whose cold medians are 10, 11, ...; the pipe 20 ticks above
        and the pinned lever 10 % below it, except the last run's 30 %."""
        made = []
        for i in range(count):
            m = 10.0 + i
            pinned = 0.7 if i == count - 1 else 0.9
            made.append(pipe_and_pinned([m + 19, m + 20, m + 21],
                                        [(m + 19) * pinned, (m + 20) * pinned, (m + 21) * pinned],
                                        f"run{i}.json", cold=[m - 1, m, m + 1]))
        return made

    def test_the_run_the_unit(self) -> None:
        answer = answer_of_runs(self.runs(6))
        self.assertEqual(answer.runs, 6)
        figures = {f.name: f.reading for f in answer.figures}
        # Six runs: the sign test's interval is the least to the greatest.
        self.assertEqual(figures["cold thread start"], Reading(12.5, Interval(10.0, 15.0)))
        self.assertEqual(figures["first line"], Reading(20.0, Interval(20.0, 20.0)))
        self.assertEqual(figures["the program's span"], Reading(32.5, Interval(30.0, 35.0)))
        self.assertIsNone(figures["warm thread start"])
        (lever,) = answer.levers
        assert lever.change is not None and lever.change.interval is not None
        self.assertAlmostEqual(lever.change.value, -10.0)
        self.assertAlmostEqual(lever.change.interval.low, -30.0)
        self.assertAlmostEqual(lever.change.interval.high, -10.0)
        self.assertEqual(lever.verdict, DIFFERS)

    def test_too_few_runs_no_interval_no_verdict(self) -> None:
        answer = answer_of_runs(self.runs(5))
        self.assertEqual(answer.figures[0].reading, Reading(12.0, None))
        self.assertIsNone(answer.levers[0].verdict)
        out = io.StringIO()
        print_answer(answer, Output("text", out))
        self.assertIn("too few runs", out.getvalue())
        self.assertNotIn("repetitions", out.getvalue())


class Sides(unittest.TestCase):
    def test_a_verdict_from_four_runs_a_side(self) -> None:
        groups = groups_of(runs("before", 100, 102, 98, 101) + runs("after", 120, 119, 121, 122),
                           [])
        self.assertEqual([g.name for g in groups], ["before", "after"])
        report = sides_report(groups)
        (row,) = report.rows
        self.assertEqual(row.base, 100.5)
        (after,) = row.others
        self.assertEqual(after.value, 120.5)
        self.assertEqual(after.change, Change(20.0, 20 / 100.5 * 100))
        self.assertEqual(after.interval, (17.0, 24.0))
        # The interval in % is the one in ticks over side A's median.
        self.assertEqual(after.percent, (17 / 100.5 * 100, 24 / 100.5 * 100))
        self.assertEqual(after.verdict, Verdict.DIFFERS)
        self.assertEqual(report.fewest_runs, 4)
        self.assertEqual([s.files for s in report.sides],
                         [["[1]", "[2]", "[3]", "[4]"], ["[5]", "[6]", "[7]", "[8]"]])

    def test_no_change_shown(self) -> None:
        report = sides_report([Group("A", runs("a", 100, 102, 98, 101)),
                               Group("C", runs("c", 99, 103, 99.5, 97))])
        (c,) = report.rows[0].others
        self.assertEqual((c.interval, c.verdict), ((-5.0, 5.0), Verdict.NO_CHANGE))
        self.assertFalse(report.rows[0].wide)

    def test_the_gate(self) -> None:
        # (side B's pipe medians, its cold row's step, threshold, rows
        # slower): side A's pipe medians 98 to 102 and a cold row of 0
        # ticks; B's tty row, not on A, is never judged. Two rows that could
        # each reach the least p in other splits would leave no verdict at 4
        # runs a side: B's pipe rows here tie or move with its cold row.
        def side(label: str, pipe: list[int], zero: int, tty: bool) -> list[Results]:
            return [results_of({"program_run/pipe": [m - 3, m, m + 5],
                                "cold_thread_start": [zero * i, zero * i, zero * i + 1],
                                **({"program_run/tty": [1, 2, 3]} if tty else {})},
                               {"label": label}, path=f"{label}{i}.json")
                    for i, m in enumerate(pipe, 1)]

        cases = [((108, 109, 111, 112), 0, 9.9, ["B program_run/pipe +10.0 % [+6.0, +14.0]"]),
                 ((108, 109, 111, 112), 0, 10.0, []), ((88, 89, 91, 92), 0, 0.0, []),
                 ((100, 100, 100, 100), 5, 50.0, ["B cold_thread_start +12.5 ticks from 0"])]
        for pipe, zero, threshold, failed in cases:
            with self.subTest(pipe=pipe, threshold=threshold):
                report = sides_report([Group("A", side("a", [98, 99, 101, 102], 0, False)),
                                       Group("B", side("b", list(pipe), zero, True))])
                self.assertEqual(gate(report, threshold), (failed, ["B program_run/tty"]))

    def printed(self, groups: list[Group], *, every_run: bool = False,
                form: str = "csv", table: str | None = None) -> str:
        out = io.StringIO()
        print_sides(sides_report(groups), Output(form, out, table), every_run)
        return out.getvalue()

    def test_the_sides_names_head_the_columns(self) -> None:
        text = self.printed([Group("before", runs("a", 100, 102, 98, 101)),
                             Group("after", runs("b", 120, 119, 121, 122))], form="text")
        header = next(line for line in text.splitlines() if line.startswith("row "))
        self.assertEqual(header.split(), ["row", "before", "after", "difference", "interval",
                                          "change", "change", "interval", "verdict"])
        self.assertRegex(text, r"\nprogram_run/pipe +100\.5 +120\.5 +20\.0 +\[17\.0, 24\.0\] "
                               r"+\+19\.9% +\[\+16\.9%, \+23\.9%\] +differs\n")

    def test_each_run_s_median_and_load_on_request(self) -> None:
        a, b = runs("a", 100, 102, 98, 101), runs("b", 120, 119, 121, 122)
        loaded = [results_of({"program_run/pipe": list(r.ticks["program_run/pipe"])},
                             {"label": "a", "load_avg": [1.5 + i, 0.5, 0.25]}, path=r.path)
                  for i, r in enumerate(a)]
        groups = [Group("A", loaded), Group("B", b)]
        self.assertNotIn("\nruns,", self.printed(groups, table="runs"))
        lines = [line for line in self.printed(groups, every_run=True, table="runs").splitlines()
                 if line.startswith("runs,")]
        self.assertEqual(lines, [
            "runs,program_run/pipe,A,[1],100.0,1.5", "runs,program_run/pipe,A,[2],102.0,2.5",
            "runs,program_run/pipe,A,[3],98.0,3.5", "runs,program_run/pipe,A,[4],101.0,4.5",
            "runs,program_run/pipe,B,[5],120.0,", "runs,program_run/pipe,B,[6],119.0,",
            "runs,program_run/pipe,B,[7],121.0,", "runs,program_run/pipe,B,[8],122.0,"])

    def test_no_change_across_a_wide_spread_shown_run_by_run(self) -> None:
        # (side B's runs' medians, whether the row is wide): side A's 100,
        # 102, 98, 101 against them, no change shown in every case; wide
        # where the interval is wider than 10 ticks, 10 % of 100.5.
        cases = [((99, 103, 99.5, 97), False), ((90, 110, 99.5, 105), True)]
        for medians, wide in cases:
            with self.subTest(medians=medians):
                groups = [Group("A", runs("a", 100, 102, 98, 101)),
                          Group("B", runs("b", *medians))]
                (row,) = sides_report(groups).rows
                self.assertEqual((row.others[0].verdict, row.wide), (Verdict.NO_CHANGE, wide))
                printed = self.printed(groups, table="runs")
                self.assertEqual("\nruns,program_run/pipe,B,[8]," in printed, wide)
        # A difference shown, however wide, is not a row to explain.
        groups = [Group("A", runs("a", 100, 102, 98, 101)),
                  Group("B", runs("b", 150, 190, 170, 130))]
        self.assertFalse(sides_report(groups).rows[0].wide)

    def test_runs_that_agree_exactly_differ_from_files_to_the_table(self) -> None:
        # Four files a side whose pipe rows have medians 50 and 48: the rank
        # test's p is 0.013, and its interval the one difference, -2.
        with tempfile.TemporaryDirectory() as directory:
            paths = [write_results(os.path.join(directory, f"{label}{i}.json"),
                                   {"program_run/pipe": [median - 1, median, median + 1]},
                                   {"label": label, "date": f"2026-12-0{i + 1}"})
                     for label, median in (("before", 50), ("after", 48)) for i in range(4)]
            out = io.StringIO()
            self.assertEqual(main(paths, out), 0)
        (line,) = [line for line in out.getvalue().splitlines()
                   if line.startswith("program_run/pipe")]
        self.assertRegex(line, r"\[-2\.0, -2\.0\]\s+-4\.0%\s+\[-4\.0%, -4\.0%\]\s+differs$")

    def test_too_few_runs_no_interval_no_verdict(self) -> None:
        report = sides_report([Group("A", runs("a", 100, 102, 98)),
                               Group("B", runs("b", 120, 119, 121))])
        (b,) = report.rows[0].others
        self.assertEqual((b.value, b.interval, b.verdict), (120.0, None, None))
        self.assertEqual(report.fewest_runs, 3)

    def test_the_family_line_and_the_reason_for_no_verdict(self) -> None:
        # (side A's and B's runs' medians, family's cut, in the notes): one
        # row, so the cut is the least p where only the observed split and
        # its mirror reach it.
        cases = [((100, 102, 98), (120, 119, 121), 0.0,
                  ["every split of the runs among the sides (20)",
                   "no verdict: 3 runs against 3: the least p the rank test can reach is "
                   "0.1, above the family's cut of 0"]),
                 ((100, 102, 98, 101), (120, 119, 121, 122), 2 / 70,
                  ["family: 1 row x 1 side; the chance of any false `differs` among them is "
                   "at most 5%: a row differs where its p is at most 0.0286", "p exact"]),
                 ((100, 102, 98, 101), tuple(range(120, 144)), None,
                  ["9999 random splits of the runs and the observed one"])]
        for a, b, cut, notes in cases:
            with self.subTest(a=a, b=b):
                groups = [Group("A", runs("a", *a)), Group("B", runs("b", *b))]
                if cut is not None:
                    self.assertAlmostEqual(sides_report(groups).family.cut, cut, 12)
                printed = " ".join(self.printed(groups, form="text").split())
                for expected in notes:
                    self.assertIn(expected, printed)
        # Beyond EXACT_PAIRS pairs, the line says p was approximated.
        from unittest import mock

        with mock.patch.object(st, "EXACT_PAIRS", 15):
            groups = [Group("A", runs("a", 1, 2, 3, 4)), Group("B", runs("b", 5, 6, 7, 8))]
            self.assertIn("p from the normal approximation on some rows",
                          " ".join(self.printed(groups, form="text").split()))

    def test_splits_of_the_runs(self) -> None:
        # (sizes, splits, every one): the observed split first, no split
        # twice where all are taken.
        from analyze.sides import splits_of

        for sizes, count, every in (([3, 3], 20, True), ([2, 2, 2], 90, True),
                                    ([8, 8], 12870, True), ([12, 12], 10000, False)):
            splits, whole = splits_of(sizes)
            self.assertEqual((len(splits), whole), (count, every), sizes)
            self.assertEqual(list(splits[0]), sum(([i] * n for i, n in enumerate(sizes)), []))
            if every:
                self.assertEqual(len({tuple(x) for x in splits}), count, sizes)
            self.assertTrue(all(sorted(x) == sorted(splits[0]) for x in splits[:50]), sizes)

    def test_each_split_s_p_is_the_rank_test_s(self) -> None:
        # Tied medians, rows some runs lack, three sides: each split's p of
        # each row and side is rank_test()'s on the runs that have the row.
        import numpy as np

        from analyze.sides import split_p_values, splits_of

        rng = np.random.default_rng(6)
        medians = rng.integers(0, 5, (9, 3)).astype(float)
        medians[[1, 7], 1] = np.nan
        splits, _ = splits_of([3, 2, 4])
        ps = split_p_values(medians, splits, 3)
        for s in range(0, len(splits), 37):
            for row in range(3):
                for k in (1, 2):
                    v = medians[:, row]
                    a = v[(splits[s] == 0) & np.isfinite(v)]
                    b = v[(splits[s] == k) & np.isfinite(v)]
                    self.assertAlmostEqual(ps[s, row, k - 1], st.rank_test(a, b).p_value, 12,
                                           (s, row, k))

    def test_any_false_differs_on_correlated_rows(self) -> None:
        # 300 comparisons of 6 identical runs against 6, 9 rows that share
        # each run's load: some row differs in at most 5 % (within the
        # draw's 2.6 standard errors), where the rows alone would in 26 %.
        import numpy as np

        from analyze.sides import family_of

        rng = np.random.default_rng(7)
        anywhere = alone = 0
        for _ in range(300):
            medians = rng.normal(size=(12, 1)) + rng.normal(size=(12, 9))
            family = family_of(medians, [6, 6])
            ps = [st.rank_test(medians[:6, r], medians[6:, r]).p_value for r in range(9)]
            anywhere += min(ps) <= family.cut
            alone += min(ps) <= 0.05
        self.assertLessEqual(anywhere / 300, 0.05 + 2.6 * (0.05 * 0.95 / 300) ** 0.5)
        self.assertGreater(alone / 300, 0.15)

    def test_a_row_one_side_lacks(self) -> None:
        other = [results_of({"cold_thread_start": [1, 2, 3]}, {"label": "b"})]
        report = sides_report([Group("A", runs("a", 100)), Group("B", other)])
        self.assertEqual([(r.row, r.base, r.others[0].value) for r in report.rows],
                         [("program_run/pipe", 100.0, None), ("cold_thread_start", None, 2.0)])

    def test_a_file_on_two_sides_is_two_files(self) -> None:
        known = Results.read(KNOWN)
        report = sides_report([Group("A", [known]), Group("B", [Results.read(KNOWN)])])
        self.assertEqual([s.files for s in report.sides], [["[1]"], ["[2]"]])

    def test_files_without_a_label_are_a_side_each(self) -> None:
        files = [results_of({"a": [1, 2]}, path=f"{n}.json") for n in ("x", "y")]
        self.assertEqual([g.name for g in groups_of(files, [])], ["x.json", "y.json"])


def lever_runs(*pairs: tuple[int, int]) -> list[Results]:
    """A run a pair: the medians of its pipe row and of its one-arena lever."""
    return [results_of({"program_run/pipe": [pipe - 2, pipe, pipe + 1],
                        "program_run/pipe_one_arena": [arena - 1, arena, arena + 3]},
                       {"label": "here"}, path=f"here{i}.json")
            for i, (pipe, arena) in enumerate(pairs, 1)]


class LabelRuns(unittest.TestCase):
    def test_a_lever_differs_only_where_every_run_moved(self) -> None:
        # (case, pipe and lever medians a run, the runs' differences, runs
        # down and up, median, interval, verdict), one a line.
        cases = [
            ("6 runs all down", [(100, 90), (102, 90), (98, 95), (101, 80), (99, 97), (100, 99)],
             [-10, -12, -3, -21, -2, -1], (6, 0), -6.5, Interval(-21, -1), Verdict.DIFFERS),
            ("6 runs all up", [(50, 52), (50, 51), (50, 55), (50, 53), (50, 51), (50, 52)],
             [2, 1, 5, 3, 1, 2], (0, 6), 2.0, Interval(1, 5), Verdict.DIFFERS),
            ("6 runs, one against", [(100, 90), (102, 90), (98, 95), (101, 80), (99, 97),
                                     (100, 104)],
             [-10, -12, -3, -21, -2, 4], (5, 1), -6.5, Interval(-21, 4), Verdict.NO_CHANGE),
            ("6 runs, one unmoved", [(100, 90), (102, 90), (98, 95), (101, 80), (99, 97),
                                     (100, 100)],
             [-10, -12, -3, -21, -2, 0], (5, 0), -6.5, Interval(-math.inf, math.inf),
             Verdict.NO_CHANGE),
            ("9 runs, one against", [(100, 90)] * 4 + [(100, 95)] * 4 + [(100, 104)],
             [-10] * 4 + [-5] * 4 + [4], (8, 1), -5.0, Interval(-10, -5), Verdict.DIFFERS),
        ]
        for case, pairs, differences, moved, median, interval, verdict in cases:
            report = label_runs_report(Group("here", lever_runs(*pairs)))
            (e,) = report.levers
            self.assertEqual((e.lever.row, e.lever.base, e.counter),
                             ("program_run/pipe_one_arena", "program_run/pipe", "ticks"), case)
            self.assertEqual((e.differences, (e.down, e.up), e.median, e.interval, e.verdict),
                             (differences, moved, median, interval, verdict), case)

    def test_six_runs_print_the_interval_and_verdict(self) -> None:
        report = label_runs_report(Group("here", lever_runs(
            (100, 90), (102, 90), (98, 95), (101, 80), (99, 97), (100, 99))))
        out = io.StringIO()
        print_label_runs(report, Output("text", out))
        line = [line for line in out.getvalue().splitlines()
                if line.startswith("program_run/pipe_")][-1]
        self.assertEqual(line.split()[3:], ["6", "6", "0", "-6.5", "-6.5%", "[-21.0,", "-1.0]",
                                            "differs"])
        self.assertIn("The lines of at least 6 runs are one family: the chance of any false "
                      "`differs` in it is at most 5%, from all 64 signs of the runs' differences",
                      " ".join(out.getvalue().split()))
        # In CSV each table has a name of its own: the answer, the rows and
        # the levers across runs.
        printed = Output("csv", io.StringIO())
        print_label_runs(report, printed)
        self.assertEqual(printed.names,
                         ["answer", "files", "context", "rows_runs", "levers_runs"])

    def test_each_row_s_median_of_the_runs_medians_and_its_interval(self) -> None:
        report = label_runs_report(Group("here", lever_runs(
            (100, 90), (102, 90), (98, 95), (101, 80), (99, 97), (100, 99))))
        self.assertEqual((report.name, report.runs, report.least_runs), ("here", 6, 6))
        self.assertEqual(report.rows, [
            ("program_run/pipe", 6, 100.0, Interval(98, 102)),
            ("program_run/pipe_one_arena", 6, 92.5, Interval(80, 99))])
        (e,) = report.levers
        self.assertEqual((e.runs, e.down, e.up), (6, 6, 0))
        # The median difference in percent of the base's median of medians.
        self.assertEqual(e.change, Change(-6.5, -6.5))

    def test_fewer_than_six_runs_the_differences_and_why_no_interval(self) -> None:
        report = label_runs_report(Group("here", lever_runs(
            (100, 90), (102, 90), (98, 95), (101, 80), (99, 97))))
        (e,) = report.levers
        self.assertEqual((e.differences, e.median, e.interval, e.verdict),
                         ([-10, -12, -3, -21, -2], -10.0, None, None))
        self.assertEqual([r.interval for r in report.rows], [None, None])
        out = io.StringIO()
        print_label_runs(report, Output("text", out))
        text = out.getvalue()
        self.assertIn("no interval and no verdict: 5 runs; an interval from runs needs at "
                      "least 6, as the least and the greatest of 5 runs hold their median only "
                      "94% of the time, short of 95%", " ".join(text.split()))
        # The answer first, with the run as the unit.
        self.assertTrue(text.startswith("the answer: median over 5 runs"), text[:80])
        # No verdict on any line, in the answer or the levers' table.
        self.assertNotRegex(text, r"(?m)(differs|no change shown)$")
        # The lever's line, after its row's in the table of rows.
        line = [line for line in text.splitlines() if line.startswith("program_run/pipe_")][-1]
        self.assertEqual(line.split()[3:], ["-10.0", "-12.0", "-3.0", "-21.0", "-2.0",
                                            "-10.0", "-10.0%"])

    def test_a_lever_on_its_own_counter_and_a_run_without_its_row(self) -> None:
        own_stack = Lever("program_parts/own_stack", "program_parts/default", "creator")
        parts: dict[str, list[float]] = {"creator": [8, 8, 8], "new_thread": [1, 1, 1],
                                         "first_line": [1, 1, 1], "rest": [0, 0, 0]}
        runs = [results_of({"program_parts/default": [20, 20, 20],
                            "program_parts/own_stack": [15 + i, 15 + i, 15 + i]},
                           parts={"program_parts/default": parts, "program_parts/own_stack": {
                               **parts, "creator": [3 + i, 3 + i, 3 + i]}},
                           levers=[own_stack], path=f"{i}.json") for i in range(6)]
        # A run without the lever's row, and one without its base row.
        runs.append(results_of({"program_parts/default": [20, 20, 20]},
                               parts={"program_parts/default": parts}, levers=[]))
        runs.append(results_of({"program_parts/own_stack": [9, 9, 9]},
                               parts={"program_parts/own_stack": parts}, levers=[]))
        report = label_runs_report(Group("stacks", runs))
        self.assertEqual([(e.counter, e.differences, e.median, e.verdict)
                          for e in report.levers], [
            ("ticks", [-5, -4, -3, -2, -1, 0, None, None], -2.5, Verdict.NO_CHANGE),
            ("creator", [-5, -4, -3, -2, -1, 0, None, None], -2.5, Verdict.NO_CHANGE)])
        self.assertEqual([e.runs for e in report.levers], [6, 6])
        self.assertEqual([(r.row, r.runs) for r in report.rows],
                         [("program_parts/default", 7), ("program_parts/own_stack", 7)])


class Fleet(unittest.TestCase):
    def test_the_one_host_apart_and_each_host_s_spread(self) -> None:
        groups = [Group(f"host-{h}", runs(h, 100, 102, 99)) for h in "abc"]
        groups += [Group("host-d", runs("d", 90, 100, 110)),
                   Group("host-e", runs("e", 150, 149, 152))]
        report = fleet_report(groups)
        self.assertEqual(report.rows, ["program_run/pipe"])
        hosts = {h.name: h for h in report.hosts}
        self.assertEqual([name for name, h in hosts.items() if h.outlying], ["host-e"])
        self.assertEqual(hosts["host-e"].outlying, ["program_run/pipe"])
        # The runs' scaled median absolute deviation: 1.4826 * 10.
        self.assertAlmostEqual(hosts["host-d"].values[0].spread, 14.826, places=3)
        # At least what a run's three repetitions give its median: their
        # least to their greatest is 8 ticks, a 95 % interval of 3.92
        # standard errors.
        (a,) = hosts["host-a"].values
        self.assertEqual(a.value, 100.0)
        self.assertAlmostEqual(a.spread, 8 / 3.92)

    def test_no_outliers_among_two_hosts(self) -> None:
        report = fleet_report([Group("a", runs("a", 100, 100)), Group("b", runs("b", 900, 901))])
        self.assertEqual([h.outlying for h in report.hosts], [[], []])
        self.assertIsInstance(report.hosts[0].values[0], Spread)


class Picture(unittest.TestCase):
    def test_png_and_svg(self) -> None:
        from analyze.plot import plot

        known = Results.read(KNOWN)
        with tempfile.TemporaryDirectory() as directory:
            for ending, start in ((".png", b"\x89PNG\r\n\x1a\n"), (".svg", b"<?xml")):
                path = os.path.join(directory, "k" + ending)
                plot([known, results_of({"program_run/pipe": [1, 2]})], ["known", "other"], path)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(len(start)), start)


    def test_a_file_s_levers_drawn_as_its_report_has_them(self) -> None:
        from analyze.plot import figure

        known = Results.read(KNOWN)
        given = [e._replace(gap=Reading(1.0, Interval(-7.0, 7.0)))
                 for e in one_file_report(known).levers if e.gap is not None]
        levers = figure([known], ["known"], ["known"], effects=[given]).axes[-1]
        self.assertEqual({tuple(line.get_xdata()) for line in levers.lines},
                         {(-7.0, 7.0), (1.0,), (0, 0)})  # the intervals, values and 0

    def test_sides_drawn_as_the_report_has_them(self) -> None:
        from analyze.plot import figure

        # Rows not in alphabetical order; side B's 6 runs differ on the
        # pipe row, side C's 2 are too few for a verdict.
        order = ["program_run/pipe", "cold_thread_start", "warm_create_join"]
        groups = [Group(name, [results_of({"program_run/pipe": [pipe + i, pipe + i + 1],
                                           "cold_thread_start": [50, 51 + i],
                                           "warm_create_join": [5, 6]},
                                          {"label": name}, path=f"{name}{i}.json")
                               for i in range(count)])
                  for name, pipe, count in (("A", 100, 6), ("B", 120, 6), ("C", 100, 2))]
        report = sides_report(groups)
        files = [r for g in groups for r in g.files]
        fig = figure(files, [r.name for r in files], [g.name for g in groups for _ in g.files],
                     report)
        rows, *_, changes = fig.axes
        for ax in (rows, changes):
            self.assertEqual([t.get_text() for t in ax.get_yticklabels()], order)
        # A colour a side: each file's median marks, a row each, in order.
        marks = [line.get_color() for line in rows.lines if line.get_linestyle() == "None"]
        colours = [marks[i * len(order)] for i in range(len(files))]
        self.assertEqual((len(set(marks)), [colours.index(c) for c in colours]),
                         (3, [0] * 6 + [6] * 6 + [12] * 2))
        self.assertEqual([t.get_text() for t in rows.get_legend().get_texts()], ["A", "B", "C"])
        # Each change, its interval and its verdict's mark (hollow for no
        # change shown) are the report's.
        drawn = {line.get_gid(): (line.get_xdata()[0], line.get_markerfacecolor() != "white")
                 if line.get_gid().startswith("change") else tuple(line.get_xdata())
                 for line in changes.lines if line.get_gid()}
        expected: dict[str, object] = {}
        for r in report.rows:
            for k, c in enumerate(r.others, 1):
                assert c.change is not None
                expected[f"change {k} {r.row}"] = (c.change.percent,
                                                   c.verdict != Verdict.NO_CHANGE)
                if c.percent is not None:
                    expected[f"interval {k} {r.row}"] = tuple(c.percent)
        self.assertEqual(drawn, expected)
        self.assertEqual([c.verdict for c in report.rows[0].others], [Verdict.DIFFERS, None])


def analyze(*argv: str) -> subprocess.CompletedProcess[str]:
    """Runs the package as its launcher does, in a process of its own."""
    return subprocess.run([sys.executable, "-m", "analyze", *argv], cwd=ROOT,
                          capture_output=True, text=True, check=False)


class CommandLine(unittest.TestCase):
    def imported(self, *argv: str) -> set[str]:
        """The libraries that a call imports."""
        code = ("import sys; from analyze.__main__ import run; run(sys.argv[1:]); "
                "print(' '.join(m for m in ('numpy', 'scipy', 'matplotlib') if m in sys.modules),"
                " file=sys.stderr)")
        done = subprocess.run([sys.executable, "-c", code, *argv], cwd=ROOT, check=True,
                              capture_output=True, text=True)
        return set(done.stderr.splitlines()[-1].split())

    def test_no_module_imports_one_that_imports_it_back(self) -> None:
        # Each module's imports of the others, at its top or in a function;
        # those for the type checker alone are never run.
        package = os.path.join(ROOT, "analyze")
        imports: dict[str, set[str]] = {}
        for name in sorted(n for n in os.listdir(package) if n.endswith(".py")):
            with open(os.path.join(package, name), encoding="utf-8") as f:
                tree = ast.parse(f.read())
            typed = {id(n) for node in ast.walk(tree) if isinstance(node, ast.If)
                     and ast.unparse(node.test) == "TYPE_CHECKING" for n in ast.walk(node)}
            imports[name[:-3]] = {
                m for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)
                and node.level == 1 and id(node) not in typed
                for m in ([node.module.split(".")[0]] if node.module
                          else [a.name for a in node.names])}
        looped = []
        for start in imports:
            seen, todo = set(), list(imports[start])
            while todo:
                if (m := todo.pop()) not in seen:
                    seen.add(m)
                    todo += imports.get(m, ())
            if start in seen:
                looped.append(start)
        self.assertEqual(looped, [], "modules imported back by what they import")

    def test_each_call_imports_only_what_it_needs(self) -> None:
        self.assertEqual(self.imported("report", KNOWN), {"numpy"})
        self.assertEqual(self.imported("report", "--format=csv", KNOWN), {"numpy"})
        self.assertEqual(self.imported("fleet", KNOWN), {"numpy", "scipy"})
        with tempfile.TemporaryDirectory() as directory:
            other = write_results(os.path.join(directory, "b.json"), {"program_run/pipe": [1, 2]})
            self.assertEqual(self.imported("compare", "--group", "A", KNOWN, "--group", "B",
                                           other), {"numpy", "scipy"})
            self.assertEqual(self.imported("report", "--plot", os.path.join(directory, "k.svg"),
                                           KNOWN), {"numpy", "matplotlib"})

    def test_refusals_are_one_line_and_status_2(self) -> None:
        done = analyze("--format=html", KNOWN)
        self.assertEqual(done.returncode, 2)
        self.assertEqual(done.stdout, "")
        self.assertRegex(done.stderr, r"\Athread-start-analyze: argument --format: [^\n]*\n\Z")

    def test_a_run_given_twice_is_refused_naming_both(self) -> None:
        with tempfile.TemporaryDirectory() as directory:
            copy = os.path.join(directory, "copy.json")
            link = os.path.join(directory, "link.json")
            shutil.copy(KNOWN, copy)
            os.link(copy, link)
            other = write_results(os.path.join(directory, "o.json"), {"program_run/pipe": [1, 2]})
            # (arguments, the two files named), one a line.
            cases = [([KNOWN, KNOWN], (KNOWN, KNOWN), "the same file"),
                     ([copy, other, link], (copy, link), "the same file"),
                     ([KNOWN, other, copy], (KNOWN, copy), "the same results"),
                     (["--fleet", other, KNOWN, copy], (KNOWN, copy), "the same results"),
                     (["--group", "a", KNOWN, "--group", "b", copy], (KNOWN, copy),
                      "the same results"),
                     (["compare", "--group", "a", KNOWN, "--group", "b", other],
                      (KNOWN, other), "")]
            for argv, (first, second), reason in cases:
                if not reason:
                    main(argv, io.StringIO())
                    continue
                with self.assertRaises(Unusable, msg=argv) as caught:
                    main(argv, io.StringIO())
                self.assertTrue(str(caught.exception).startswith(f"{first} and {second} "),
                                (argv, str(caught.exception)))
                self.assertIn(reason, str(caught.exception), argv)

    def test_several_files_of_one_label_are_runs_of_one_thing(self) -> None:
        # Once refused as "one side only": now each lever across the runs.
        # Runs of the same values, told apart by their dates.
        with tempfile.TemporaryDirectory() as directory:
            runs = []
            for i in range(3):
                with open(KNOWN, encoding="utf-8") as f:
                    data = json.load(f)
                data["context"]["date"] = f"2026-12-0{i + 1}"
                runs.append(os.path.join(directory, f"run{i}.json"))
                with open(runs[-1], "w", encoding="utf-8") as f:
                    json.dump(data, f)
            self.several_runs_of_one_label(runs)

    def several_runs_of_one_label(self, runs: list[str]) -> None:
        for argv in (["runs", *runs[:2]], ["runs", "--group", "again", *runs]):
            done = analyze(*argv)
            self.assertEqual((done.returncode, done.stderr), (0, ""), argv)
            self.assertNotIn("one side only", done.stdout)
            self.assertIn("levers across runs: each row less the row it changes",
                          done.stdout)
            self.assertRegex(done.stdout, r"\nprogram_run/pinned +program_run/pipe +ticks"
                                          r"( +-5\.5){%d} +-5\.5 +-100\.0%%\n" % len(set(argv) & set(runs)))
        self.assertEqual(self.imported("runs", "--group", "again", *runs[:2]),
                         {"numpy", "scipy"})

if __name__ == "__main__":
    unittest.main()
