"""The paired tests and their family by sign flips, on known answers."""

from __future__ import annotations

import contextlib
import io
import math
import os
import runpy
import tempfile
import unittest
from typing import Sequence

import numpy as np

from analyze import paired
from analyze.errors import Unusable
from analyze.estimates import Change, Interval
from analyze.family import family_cut
from analyze.label_runs import LeverOfRuns, judged
from analyze.reader import Group, Lever
from analyze.sides import Verdict, print_sides, sides_report
from analyze.tables import Output
from analyze.tests.fixtures import results_of, write_results
from analyze.tests.test_reports import analyze

# R 4.2.2's wilcox.test(d, exact=TRUE, conf.int=TRUE): p, its 95 % interval,
# d of 3 to 20 values. Below 6 values no count reaches p <= 0.05: R then gives the
# least and greatest average, here the interval is unbounded.
SIGNED_RANK = [
    (1, -31, 59, [-31, 59, -24]), (0.125, -57, -25, [-25, -57, -27, -40]),
    (0.625, -44, 57, [-3, -44, 57, 19, 39]), (0.15625, -48, 60, [3, 2, 60, 55, -48, 50]),
    (0.375, -22, 55, [-33, 4, 64, 55, 26, -22, 14]),
    (0.0234375, 8, 61, [76, 35, 10, 33, 81, 27, -17, 41]),
    (0.496094, -16.5, 28.5, [26, -8, 24, 31, 13, -36, -15, 37, -18]),
    (0.00390625, 22.5, 59.5, [50, -9, 18, 54, 66, 53, 62, 65, 23, 40]),
    (0.0537109, -1.5, 55.5, [-40, -25, 41, 57, 50, -38, 35, 69, 61, 54, 17]),
    (0.569336, -17.5, 31, [30, 17, -37, 60, -47, -9, 8, 58, 41, -26, 2, -16]),
    (0.375732, -15.5, 35, [69, 1, -24, 29, -13, 20, -26, -18, -44, -10, 41, 55, 61]),
    (0.0166016, 6, 34.5, [6, 20, 22, 14, 45, 54, 47, -32, 53, -19, 3, 11, 23, 29]),
    (0.187622, -43.5, 5, [-41, -48, -17, 33, -42, -58, 5, -53, 55, -45, -35, 11, -2, -49, 51]),
    (0.97995, -27, 23, [-7, 49, -50, -48, -23, 60, -14, -33, 54, 10, 42, -6, -43, -53, 16, 44]),
    (0.889969, -17.5, 20.5,
     [-47, -23, 34, -20, -4, -38, -17, -24, 39, 13, 5, 9, -6, -18, 65, -3, 61]),
    (0.0159302, 5, 39,
     [49, 27, -19, 39, 59, 57, -26, 10, -37, 47, 56, -12, 54, 15, 31, 5, 29, -14]),
    (0.00117111, 18.5, 47.5,
     [18, -3, 65, -2, 55, 32, 48, -9, 36, 39, 56, 40, 24, 45, 54, 62, 37, -50, 58]),
    (0.674223, -21, 11,
     [1, 60, -57, -49, 18, -4, -51, -34, -7, -22, -44, 16, -8, -37, 11, 38, 15, 9, 6, 40]),
]

# R's binom.test(t, n)$p.value: the sign test's p of t runs one way of n.
SIGN = [(10, 0, 0.001953125), (10, 1, 0.02148438), (10, 2, 0.109375), (9, 4, 1),
        (12, 2, 0.03857422), (7, 0, 0.015625), (20, 5, 0.04138947)]
KNOWN = [(True, d, p, low, high) for p, low, high, d in SIGNED_RANK] + [
    (False, [-1.0] * t + [1.0] * (n - t), p, None, None) for n, t, p in SIGN]


class Tests(unittest.TestCase):
    def test_p_and_interval_are_r_s(self) -> None:
        for walsh, d, p, low, high in KNOWN:
            with self.subTest(walsh=walsh, d=d):
                got = paired.test_at(d, 0.05, walsh)
                assert got is not None
                self.assertAlmostEqual(got.p, p, delta=1e-5 * p)
                if walsh:
                    self.assertEqual(tuple(got.interval), (low, high) if len(d) >= 6
                                     else (-math.inf, math.inf))

    def test_p_and_interval_agree_on_tied_samples(self) -> None:
        rng = np.random.default_rng(1)
        for walsh in (True, False):
            for case in range(1000):
                n = int(rng.integers(3, 21))
                d = rng.integers(-3, 6, n).astype(float)
                cut = float(rng.choice([0.05, 0.01, 0.002]))
                got = paired.test_at(d, cut, walsh)
                assert got is not None
                with self.subTest(walsh=walsh, case=case):
                    self.assertEqual(got.differs(cut), not got.interval.low <= 0
                                     <= got.interval.high)

    def test_the_family(self) -> None:
        # name, differences (runs x tests), walsh, cut, patterns, enumerated
        shifted = np.column_stack([np.arange(1.0, 9), np.arange(1.0, 9) * 2,
                                   [3, -1, 2, 0, -4, 1, 2, 6]])
        many = np.random.default_rng(2).normal(size=(15, 3))
        ties = np.random.default_rng(3).integers(-2, 3, (10, 2)).astype(float)
        missing = np.array([[1.0, np.nan]] * 3 + [[2.0, -1.0]] * 3)
        cases = [
            # Two tests that are one cost nothing: a single test's cut.
            ("equal columns", np.column_stack([np.arange(1.0, 9)] * 2), True,
             family_cut(self.least(np.arange(1.0, 9)[:, None], True)), 256, True),
            ("shifted", shifted, True, family_cut(self.least(shifted, True)), 256, True),
            ("sign test", shifted, False, family_cut(self.least(shifted, False)), 256, True),
            ("9,999 drawn and the observed", many, True, None, 10000, False),
            ("missing", missing, True, family_cut(self.least(missing, True)), 64, True),
            ("ties", ties, True, family_cut(self.least(ties, True)), 1024, True),
        ]
        for name, d, walsh, cut, patterns, enumerated in cases:
            with self.subTest(name):
                got = paired.family(d, walsh)
                self.assertEqual((got.patterns, got.enumerated), (patterns, enumerated))
                if cut is not None:
                    self.assertAlmostEqual(got.cut, cut)
                for c, test in enumerate(got.tests):
                    self.assertEqual(test, paired.test_at(d[:, c], got.cut, walsh))
        # The observed pattern is the first of those drawn.
        self.assertTrue((paired.patterns_of(15)[0][0] == 1).all())

    def test_what_the_documents_promise(self) -> None:
        family = paired.Family([], 0.01, 10000, False, False)
        cases = [
            ("exact up to 400", paired.p_table(400, True)[1], True),
            ("approximated beyond", paired.p_table(401, True)[1], False),
            ("every pattern of 14", paired.patterns_of(14)[0].shape, (2 ** 14, 14)),
            ("the approximation said", family.line("The rows", "pairs").endswith(
                "the normal approximation above 400 pairs"), True),
            ("too few said", family._replace(cut=0.0).line("The rows", "pairs"),
             "The rows are one family, and too few pairs for any `differs` in it: no p they "
             "can reach holds the chance of any false one within 5%"),
        ]
        for case, got, expected in cases:
            with self.subTest(case):
                self.assertEqual(got, expected)

    @staticmethod
    def least(d: np.ndarray, walsh: bool) -> np.ndarray:
        """Every pattern's least p, the slow way."""
        runs = d.shape[0]
        result = []
        for bits in range(2 ** runs):
            signs = np.array([-1.0 if bits >> r & 1 else 1.0 for r in range(runs)])
            ps = [t.p for t in (paired.test_at(signs * d[:, c], 1.0, walsh)
                                for c in range(d.shape[1])) if t is not None]
            result.append(min(ps))
        return np.array(result)


class Levers(unittest.TestCase):
    def test_lines_judged_as_one_family(self) -> None:
        # 9 runs of 10 down: p = 0.0215, a change alone at 5 %, not beside
        # three lines of their own signs (the family's cut 2 / 1024); a line
        # of 5 runs is not judged.
        lever = Lever("program_run/pipe_one_arena", "program_run/pipe", "ticks")
        lines: list[Sequence[float | None]] = [
            [-5.0] * 9 + [3.0], [1, -1, 2, -2, 3, -3, 4, -4, 5, -5],
            [1, 1, -1, -1, 2, 2, -2, -2, 3, 3], [1, -1, -1, 1, 2, -2, -2, 2, 3, -3],
            [-1] * 5 + [None] * 5]
        levers, found = judged([LeverOfRuns(lever, "ticks", list(d), None, None, None, None)
                                for d in lines], 6)
        assert found is not None
        self.assertEqual(found.cut, 2 / 1024)
        self.assertEqual([(e.interval, e.verdict) for e in levers], [
            (Interval(-5, 3), Verdict.NO_CHANGE), (Interval(-5, 5), Verdict.NO_CHANGE),
            (Interval(-2, 3), Verdict.NO_CHANGE), (Interval(-3, 3), Verdict.NO_CHANGE),
            (None, None)])

    def test_the_calibration_script(self) -> None:
        # Six runs down, then six down and up by turns: the first half
        # differs, the second not, whether alone or as a family.
        tool = runpy.run_path(os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(__file__)))), "tools", "lever_calibration.py"))
        options: list[list[str]] = [[], ["--alone"]]
        for alone in options:
            with self.subTest(alone=alone), tempfile.TemporaryDirectory() as directory:
                files = [write_results(os.path.join(directory, f"r{i}.json"), {
                    "program_run/pipe": [100, 101, 102],
                    "program_run/pipe_one_arena": [90 + 20 * (i > 5 and i % 2)] * 3})
                    for i in range(12)]
                out = io.StringIO()
                with contextlib.redirect_stdout(out):
                    tool["main"](files + ["--half", "6", "--splits", "5", "--format=csv"] + alone)
                lines = out.getvalue().splitlines()
                self.assertEqual(lines[-1], "levers,program_run/pipe_one_arena,program_run/pipe,"
                                 "ticks,time-ordered,1,0,0,1")
                self.assertTrue(lines[-2].startswith("levers,program_run/pipe_one_arena,"
                                                     "program_run/pipe,ticks,random,5,"))


def side(label: str, medians: list[int], dates: Sequence[str | None]) -> Group:
    return Group(label, [results_of({"program_run/pipe": [m - 1, m, m + 2]},
                                    {"label": label} | ({"date": d} if d else {}),
                                    path=f"{label}{i}.json")
                         for i, (m, d) in enumerate(zip(medians, dates))])


class Pairing(unittest.TestCase):
    def test_sides_paired_in_the_order_made_or_refused(self) -> None:
        days = [f"2026-12-0{d}T10:00:00+00:00" for d in (3, 1, 2)]
        # case, sides, the first side's files after pairing, or the refusal
        cases = [
            ("by date", [side("A", [1, 2, 3], days), side("B", [4, 5, 6], days)],
             ["A1.json", "A2.json", "A0.json"]),
            ("a date missing: as given", [side("A", [1, 2, 3], days[:2] + [None]),
                                          side("B", [4, 5, 6], days)],
             ["A0.json", "A1.json", "A2.json"]),
            ("three sides", [side(x, [1], [None]) for x in "ABC"], "--paired: 3 sides"),
        ]
        for case, groups, expected in cases:
            with self.subTest(case):
                if isinstance(expected, str):
                    with self.assertRaisesRegex(Unusable, expected):
                        paired.paired_groups(groups)
                else:
                    got = paired.paired_groups(groups)[0]
                    self.assertEqual([r.path for r in got.files], expected)

    def test_a_drift_that_pairs_take_away(self) -> None:
        # Six pairs drifting by 100 ticks a pair, B always 10 above: the
        # rank test of the sides sees nothing, the pairs 10 in each.
        a = [100, 200, 300, 400, 500, 600]
        groups = [side("A", a, [None] * 6), side("B", [m + 10 for m in a], [None] * 6)]
        unpaired = sides_report(groups).rows[0].others[0]
        self.assertEqual(unpaired.verdict, Verdict.NO_CHANGE)
        report = sides_report(groups, paired=True)
        c = report.rows[0].others[0]
        self.assertEqual((c.interval, c.verdict), (Interval(10, 10), Verdict.DIFFERS))
        out = io.StringIO()
        print_sides(report, Output("text", out))
        text = " ".join(out.getvalue().split())
        self.assertEqual((c.value, c.change), (360.0, Change(10, 10 / 350 * 100)))
        for said in ("interval of the paired change", "The rows are one family: the chance "
                     "of any false `differs` in it is at most 5%, from all 64 signs of the "
                     "pairs' differences"):
            self.assertIn(said, text)

    def test_refused_on_the_command_line(self) -> None:
        # case, files a side (A, B), options, the one line said
        cases: list[tuple[str, tuple[int, int], list[str], str]] = [
            ("unequal", (2, 1), [], "--paired: A has 2 runs and B 1; runs made alternately "
             "pair one to one"),
            ("a gate that could not fail", (5, 5), ["--fail-if-slower=5"],
             "--fail-if-slower: 5 pairs are too few for any `differs` of the paired rows; the "
             "gate needs one that can be"),
        ]
        for case, (a, b), options, said in cases:
            with self.subTest(case), tempfile.TemporaryDirectory() as directory:
                files = [write_results(os.path.join(directory, f"{x}{i}.json"),
                                       {"program_run/pipe": [1, 2, i]}, {"label": x})
                         for x, n in (("A", a), ("B", b)) for i in range(3, 3 + n)]
                done = analyze("compare", "--paired", *options, *files)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertEqual(done.stderr.splitlines(), [f"thread-start-analyze: {said}"])

if __name__ == "__main__":
    unittest.main()
