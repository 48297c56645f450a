"""The parts' page faults and context switches: read strictly where a file
has them, the medians of where the ticks go, and each lever's effect on
them in one file and across runs."""

from __future__ import annotations

import io
import json
import os
import tempfile
import unittest
from typing import Any

from analyze.errors import Unusable
from analyze.label_runs import label_runs_report
from analyze.one_file import one_file_report, print_one_file
from analyze.reader import PART_COUNTS, Group, Lever, Results
from analyze.tables import Output

from .fixtures import KNOWN, results_of

DEFAULT = "program_parts/default"
OWN = "program_parts/own_stack"
OWN_STACK = Lever(OWN, DEFAULT, "creator")


def known_with_counts() -> dict[str, Any]:
    """The known file, each parts repetition given the counts 0, 1, ... in
    PART_COUNTS' order, plus the repetition's number in its row."""
    with open(KNOWN, encoding="utf-8") as f:
        data: dict[str, Any] = json.load(f)
    seen: dict[str, int] = {}
    for run in data["benchmarks"]:
        if run["run_name"].startswith("program_parts/"):
            n = seen.setdefault(run["run_name"], 0)
            seen[run["run_name"]] = n + 1
            run.update({c: i + n for i, c in enumerate(PART_COUNTS)})
    return data


def counts(**medians: list[float]) -> dict[str, list[float]]:
    """Every count of PART_COUNTS 0 in each of 3 repetitions, but those
    given."""
    return {c: medians.get(c, [0, 0, 0]) for c in PART_COUNTS}


def parts(creator: list[float], **given: list[float]) -> dict[str, list[float]]:
    return {"creator": creator, "new_thread": [1, 1, 1], "first_line": [2, 2, 2],
            "rest": [0, 0, 0], **counts(**given)}


class Reading(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name: str, data: object) -> str:
        path = os.path.join(self.dir.name, name)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(data, f)
        return path

    def test_counts_kept_exactly_where_the_file_has_them(self) -> None:
        r = Results.read(self.write("counts.json", known_with_counts()))
        default = r.values[DEFAULT]
        self.assertEqual([list(default[c][:2]) for c in PART_COUNTS],
                         [[i, i + 1] for i in range(len(PART_COUNTS))])
        self.assertNotIn("creator_faults", r.values["program_run/pipe"])

    def test_a_file_written_before_the_counts_is_read_without_them(self) -> None:
        r = Results.read(KNOWN)
        self.assertFalse(set(PART_COUNTS) & set(r.values[DEFAULT]))

    def test_refused_counts(self) -> None:
        # (count, the value given to the first parts repetition, reason), one a line.
        cases: list[tuple[str, object, str]] = [
            ("creator_faults", -1, "has creator_faults -1: not a whole number of 0 or more"),
            ("new_thread_switches", 2.5, "has new_thread_switches 2.5: not a whole number"),
            ("first_line_major_faults", "3", 'has first_line_major_faults "3": not a whole'),
            ("creator_involuntary_switches", True, "has creator_involuntary_switches true"),
            ("first_line_faults", None, "has first_line_faults null"),
            ("new_thread_faults", 1e400, "has new_thread_faults Infinity"),
        ]
        for counter, value, reason in cases:
            with self.subTest(counter=counter, value=value):
                data = known_with_counts()
                first = next(b for b in data["benchmarks"] if b["run_name"].startswith(DEFAULT))
                first[counter] = value
                path = self.write(f"{counter}.json", data)
                with self.assertRaises(Unusable) as caught:
                    Results.read(path)
                self.assertNotIn("\n", str(caught.exception))
                self.assertIn(f"{path}: a repetition of {DEFAULT} {reason}",
                              str(caught.exception))

    def test_counts_on_some_repetitions_only_are_refused(self) -> None:
        for counter in ("creator_faults", "first_line_involuntary_switches"):
            with self.subTest(counter=counter):
                data = known_with_counts()
                last = [b for b in data["benchmarks"] if b["run_name"].startswith(OWN)][-1]
                del last[counter]
                path = self.write(f"some-{counter}.json", data)
                with self.assertRaises(Unusable) as caught:
                    Results.read(path)
                self.assertEqual(str(caught.exception),
                                 f"{path}: some repetitions of {OWN} have {counter}, others not")


class OneFile(unittest.TestCase):
    def report(self) -> Any:
        r = results_of({DEFAULT: [20, 20, 20], OWN: [15, 15, 15]}, parts={
            DEFAULT: parts([8, 8, 8], creator_faults=[3, 4, 9], new_thread_faults=[1, 1, 2],
                           first_line_faults=[5, 6, 5], creator_involuntary_switches=[0, 1, 1],
                           first_line_switches=[0, 0, 2]),
            OWN: parts([3, 3, 3], creator_faults=[3, 3, 3], new_thread_faults=[0, 0, 0],
                       first_line_faults=[3, 3, 4], creator_involuntary_switches=[1, 1, 1])},
            levers=[OWN_STACK])
        return one_file_report(r)

    def test_each_part_s_median_counts(self) -> None:
        report = self.report()
        self.assertEqual([(p.part, p.counts) for p in report.parts.parts], [
            ("creator", {"faults": 4, "major_faults": 0, "switches": 0,
                         "involuntary_switches": 1}),
            ("new_thread", {"faults": 1, "major_faults": 0, "switches": 0,
                            "involuntary_switches": 0}),
            ("first_line", {"faults": 5, "major_faults": 0, "switches": 0,
                            "involuntary_switches": 0}),
            ("rest", {})])

    def test_the_lever_on_each_count_the_lever_row_less_its_base(self) -> None:
        report = self.report()
        effects = {e.counter: e.gap.value for e in report.lever_counts}
        # Counts that neither row ever had are left out.
        self.assertEqual(list(effects), ["creator_faults", "creator_involuntary_switches",
                                         "new_thread_faults", "first_line_faults",
                                         "first_line_switches"])
        self.assertEqual({c: v for c, v in effects.items() if v != 0}, {
            "creator_faults": -1.0, "new_thread_faults": -1.0, "first_line_faults": -2.0})
        # The levers' own effects are as they were, counts apart.
        self.assertEqual([e.counter for e in report.levers], ["ticks", "creator"])
        creator = report.lever_counts[0]
        self.assertEqual((creator.lever, creator.change.percent), (OWN_STACK, -25.0))

    def test_printed_beside_the_ticks_and_under_the_lever(self) -> None:
        lines = []
        for table in ("parts", "levers"):
            text = io.StringIO()
            print_one_file(self.report(), Output("csv", text, table))
            lines += text.getvalue().splitlines()
        # Major faults only where some part has them: none here.
        self.assertIn("table,part,median,share %,low,high,faults,switches,involuntary", lines)
        self.assertIn("parts,creator,8.0,40.0,,,4.0,0.0,1.0", lines)
        self.assertIn("parts,rest,0.0,0.0,,,,,", lines)
        levers = [line for line in lines if line.startswith(f"levers,{OWN},")]
        self.assertEqual([line.split(",")[3] for line in levers],
                         ["ticks", "creator", "creator_faults", "creator_involuntary_switches",
                          "new_thread_faults", "first_line_faults", "first_line_switches"])
        self.assertIn(f"levers,{OWN},{DEFAULT},first_line_faults,-2.0,-40.0,,", levers)

    def test_without_counts_the_tables_are_as_before(self) -> None:
        text = io.StringIO()
        report = one_file_report(Results.read(KNOWN))
        self.assertEqual(report.lever_counts, [])
        print_one_file(report, Output("csv", text, "parts"))
        self.assertIn("table,part,median,share %,low,high", text.getvalue().splitlines())
        self.assertNotIn("faults", text.getvalue())


class Plot(unittest.TestCase):
    def test_a_part_s_faults_and_switches_each_kind_added(self) -> None:
        from analyze.plot import counts_text

        r = results_of({DEFAULT: [20, 20, 20]}, parts={DEFAULT: parts(
            [8, 8, 8], creator_faults=[3, 4, 9], creator_major_faults=[0, 1, 1],
            creator_switches=[0, 0, 2], creator_involuntary_switches=[2, 2, 3])})
        # (part, text), one a line.
        cases = [("creator", "\nfaults 5, switches 2"),
                 ("new_thread", "\nfaults 0, switches 0"),
                 ("rest", "")]
        for part, text in cases:
            self.assertEqual(counts_text(r, part), text, part)
        self.assertEqual(counts_text(Results.read(KNOWN), "creator"), "")


class LabelRuns(unittest.TestCase):
    def test_each_lever_on_the_counts_across_runs(self) -> None:
        runs = [results_of({DEFAULT: [20, 20, 20], OWN: [15, 15, 15]}, {"label": "x"}, parts={
            DEFAULT: parts([8, 8, 8], new_thread_faults=[2, 2, 2]),
            OWN: parts([3, 3, 3], new_thread_faults=[2 - i, 2 - i, 2 - i])},
            levers=[OWN_STACK], path=f"x{i}.json") for i in range(3)]
        # A run of files written before the counts: no difference of its own.
        runs.append(results_of({DEFAULT: [20, 20, 20], OWN: [15, 15, 15]}, {"label": "x"},
                               parts={DEFAULT: parts([8, 8, 8]), OWN: parts([3, 3, 3])},
                               levers=[OWN_STACK], path="old.json"))
        for row in (DEFAULT, OWN):
            for c in PART_COUNTS:
                del runs[-1].values[row][c]
        report = label_runs_report(Group("x", runs))
        # Only the count that some run had.
        self.assertEqual([e.counter for e in report.levers],
                         ["ticks", "creator", "new_thread_faults"])
        faults = next(e for e in report.levers if e.counter == "new_thread_faults")
        self.assertEqual(faults.differences, [0.0, -1.0, -2.0, None])
        self.assertEqual((faults.median, faults.down, faults.up), (-1.0, 2, 0))


if __name__ == "__main__":
    unittest.main()
