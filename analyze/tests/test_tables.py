"""The tables: alignment, as many cells in the header, the Markdown divider
and every row, and CSV that gives numbers as numbers."""

from __future__ import annotations

import csv
import io
import math
import os
import re
import tempfile
import unittest
import unittest.mock

from analyze.__main__ import run
from analyze.estimates import Change, Interval
from analyze.sides import Side, compare_columns
from analyze.tables import NONE, Align, Cell, Column, Kind, Missing, Output, Spread, Table

from .fixtures import KNOWN, write_results


def shown(table: Table, form: str) -> list[str]:
    stream = io.StringIO()
    Output(form, stream).table(table)
    return stream.getvalue().splitlines()


def markdown_cells(line: str) -> list[str]:
    """The cells of a Markdown table's line, escaped bars kept in them."""
    return [c.strip() for c in re.split(r"(?<!\\)\|", line)[1:-1]]


def compare_table(sides: int, names: list[str] | None = None) -> Table:
    """A comparison of `sides` sides, as the sides report makes it: a side
    named by its letter, or as `names` says."""
    letters = [chr(ord("A") + i) for i in range(sides)]
    table = Table("compare", "compare", compare_columns(
        [Side(s, name, [], []) for s, name in zip(letters, names or letters)]))
    for row, verdict in (("program_run/pipe", "differs"), ("a|b", "no change shown")):
        cells: list[Cell] = [row, 100.0]
        for i in range(1, sides):
            cells += [100.0 + i, float(i), Interval(-1.5, 2.0 * i), Change(i, float(i)),
                      Interval(-1.5, 2.0 * i), verdict]
        table.add(*cells)
    table.add("cold_thread_start", NONE, *[NONE] * (6 * (sides - 1)))
    return table


class Text(unittest.TestCase):
    def test_columns_aligned_as_they_say_two_spaces_apart(self) -> None:
        table = Table("t", "a title", [Column("name", Align.LEFT), Column("n", kind=Kind.COUNT),
                                       Column("ticks", kind=Kind.TICKS),
                                       Column("note", Align.LEFT)])
        table.add("long name", 5, 12.25, "x")
        table.add("a", 120, -3.0, "longer")
        self.assertEqual(shown(table, "text"), [
            "a title",
            "name         n  ticks  note",
            "long name    5   12.2  x",
            "a          120   -3.0  longer",
        ])

    def test_every_verdict_of_several_sides_left_aligned(self) -> None:
        for sides in (2, 3, 5):
            with self.subTest(sides=sides):
                lines = shown(compare_table(sides), "text")[1:]
                header, first = lines[0], lines[1]
                starts = [m.start() for m in re.finditer("verdict", header)]
                self.assertEqual(len(starts), sides - 1)
                # A left-aligned cell starts where its header does.
                self.assertEqual([m.start() for m in re.finditer("differs", first)], starts)
                self.assertTrue(first.endswith("differs"))

    def test_values_as_a_person_reads_them(self) -> None:
        table = Table("t", "t", [Column("change", kind=Kind.CHANGE),
                                 Column("share", kind=Kind.SHARE),
                                 Column("interval", kind=Kind.INTERVAL),
                                 Column("spread", kind=Kind.SPREAD)])
        table.add(Change(3, 3.14), 0.404, Interval(-1.25, math.inf), Spread(5, 1.25))
        table.add(Change(0, None), NONE, Missing("not measured"), NONE)
        table.add(Change(2, None), Change(-1, -50.0), Interval(math.nan, math.nan), NONE)
        self.assertEqual(shown(table, "text")[2:], [
            "       +3.1%     40%   [-1.2, inf]  5.0 +- 1.2",
            "           -       -  not measured           -",
            "n/a (base 0)  -50.0%        [-, -]           -",
        ])

    def test_a_row_of_the_wrong_width_is_refused(self) -> None:
        table = Table("t", "t", [Column("a"), Column("b")])
        with self.assertRaises(ValueError):
            table.add("one")


class Markdown(unittest.TestCase):
    def test_as_many_cells_in_the_header_the_divider_and_every_row(self) -> None:
        for sides in (2, 3, 5):
            with self.subTest(sides=sides):
                lines = shown(compare_table(sides), "markdown")
                self.assertEqual(lines[:2], ["### compare", ""])
                counts = {len(markdown_cells(line)) for line in lines[2:]}
                self.assertEqual(counts, {2 + 6 * (sides - 1)})

    def test_the_divider_says_each_column_s_alignment(self) -> None:
        lines = shown(compare_table(3), "markdown")
        self.assertEqual(lines[3], "| --- | ---: | ---: | ---: | --- | ---: | --- | --- "
                                   "| ---: | ---: | --- | ---: | --- | --- |")
        self.assertEqual(markdown_cells(lines[5])[0], "a\\|b")

    def test_the_sides_names_head_their_columns_escaped(self) -> None:
        lines = shown(compare_table(2, ["before", "x|y\n"]), "markdown")
        self.assertEqual(markdown_cells(lines[2]), [
            "row", "before", "x\\|y\\n", "x\\|y\\n difference", "x\\|y\\n interval",
            "x\\|y\\n change", "x\\|y\\n change interval", "x\\|y\\n verdict"])
        self.assertEqual(markdown_cells(lines[4]), [
            "program_run/pipe", "100.0", "101.0", "1.0", "[-1.5, 2.0]", "+1.0%",
            "[-1.5%, +2.0%]", "differs"])


class Csv(unittest.TestCase):
    def rows(self, table: Table) -> list[list[str]]:
        return list(csv.reader(shown(table, "csv")))

    def test_numbers_as_numbers_an_interval_as_two(self) -> None:
        table = Table("levers", "levers", [
            Column("lever", Align.LEFT), Column("difference", kind=Kind.TICKS),
            Column("change", kind=Kind.CHANGE), Column("share", kind=Kind.SHARE),
            Column("interval", kind=Kind.INTERVAL), Column("x", kind=Kind.SPREAD)])
        table.add("a", -2.5, Change(-2.5, -45.45), 0.4, Interval(-5.5, 0.0), Spread(150, 1.5))
        table.add("b", NONE, Change(1, None), NONE, Missing("not measured"), NONE)
        table.add("c", 1.0, Change(1, 12.0), Change(14.5, 263.6), Interval(-math.inf, math.inf),
                  Spread(1, 0))
        self.assertEqual(self.rows(table), [
            ["table", "lever", "difference", "change %", "share %", "low", "high", "x",
             "x spread"],
            ["levers", "a", "-2.5", "-45.5", "40.0", "-5.5", "0.0", "150.0", "1.5"],
            ["levers", "b", "", "", "", "", "", "", ""],
            ["levers", "c", "1.0", "12.0", "263.6", "-inf", "inf", "1.0", "0.0"],
        ])
        for row in self.rows(table)[1:]:
            for field in row[2:]:
                if field:
                    float(field)

    def test_every_line_as_wide_as_the_header_with_names_of_their_own(self) -> None:
        for sides in (2, 3, 5):
            with self.subTest(sides=sides):
                rows = self.rows(compare_table(sides))
                self.assertEqual({len(row) for row in rows}, {2 + 8 * (sides - 1) + 1})
                self.assertEqual(len(set(rows[0])), len(rows[0]))
                self.assertEqual(rows[0][:11], [
                    "table", "row", "A", "B", "B difference", "B low", "B high", "B change %",
                    "B change interval low %", "B change interval high %", "B verdict"])
                self.assertEqual(rows[1][:11], ["compare", "program_run/pipe", "100.0", "101.0",
                                                "1.0", "-1.5", "2.0", "1.0", "-1.5", "2.0",
                                                "differs"])

    def test_names_of_sides_that_read_as_formulas_made_inert(self) -> None:
        rows = self.rows(compare_table(2, ["=1+1", "-x"]))
        self.assertEqual(rows[0][2:5], ["'=1+1", "'-x", "'-x difference"])

    def test_notes_off_the_table_on_standard_error(self) -> None:
        stream, errors = io.StringIO(), io.StringIO()
        out = Output("csv", stream, errors=errors)
        out.table(Table("t", "t", [Column("a")]))
        out.note("a note, with a comma\n")
        self.assertEqual(errors.getvalue(), "")
        out.finish()
        self.assertEqual((stream.getvalue(), errors.getvalue()),
                         ("table,a\n", "note: a note, with a comma\\n\n"))


def call(*argv: str) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with unittest.mock.patch("sys.stdout", out), unittest.mock.patch("sys.stderr", err):
        status = run(list(argv))
    return status, out.getvalue(), err.getvalue()


class EachReport(unittest.TestCase):
    """Every report through the command line: CSV one table of one header,
    the first without --table (its name and the others' on standard
    error); --table any of them, in every format; Markdown a heading a
    table, its columns named apart; a table it does not have refused."""

    def test_tables_of_every_report(self) -> None:
        with tempfile.TemporaryDirectory() as directory:
            def files(label: str) -> list[str]:
                return [write_results(os.path.join(directory, f"{label}{i}.json"),
                                      {"program_run/pipe": [1 + i, 2, 3],
                                       "cold_thread_start": [4, 5, 6]}, {"label": label})
                        for i in range(2)]

            store = os.path.join(directory, "s.db")
            self.assertEqual(call("--store", store, *files("a"), *files("b"))[0], 0)
            # A report's tables, the one CSV gives first; an empty one
            # (context, causes, changes) is a header alone where asked for.
            cases = [
                ("one file", [KNOWN],
                 ["answer", "files", "context", "rows", "gaps", "parts", "levers"]),
                ("runs of one label", files("a"), ["answer", "files", "context", "rows_runs"]),
                ("sides", files("a") + files("b"), ["compare", "files", "context", "sides"]),
                ("fleet", ["--fleet"] + files("a") + files("b") + files("c"),
                 ["fleet", "causes"]),
                ("history", ["--store", store, "--history"], ["periods", "changes"]),
            ]
            order = ["answer", "files", "context", "rows", "gaps", "parts", "levers",
                     "rows_runs", "sides", "compare", "fleet", "causes", "periods", "changes"]
            for case, argv, names in cases:
                status, out, err = call(*argv, "--format=csv")
                lines = list(csv.reader(out.splitlines()))
                self.assertEqual((status, {len(line) for line in lines}), (0, {len(lines[0])}),
                                 case)
                self.assertIn(f"table: {names[0]} (the others, by --table NAME: "
                              f"{', '.join(names[1:])})", err.splitlines(), case)
                for name in names:
                    if name != names[0]:
                        lines = list(csv.reader(call(*argv, "--format=csv", "--table", name)[1]
                                                .splitlines()))
                    self.assertEqual([line[:1] for line in lines],
                                     [["table"]] + [[name]] * (len(lines) - 1), (case, name))
                    status, out, _ = call(*argv, "--format=markdown", "--table", name)
                    headings = [i for i, line in enumerate(out.splitlines())
                                if line.startswith("### ")]
                    self.assertEqual((status, len(headings)), (0, 1), (case, name))
                    header = markdown_cells(out.splitlines()[headings[0] + 2])
                    self.assertEqual(len(set(header)), len(header), (case, name))
                for form in ("text", "csv"):
                    self.assertEqual(call(*argv, f"--format={form}", "--table", "nope"),
                                     (2, "", f"thread-start-analyze: --table nope: no such "
                                      f"table here; the tables are "
                                      f"{', '.join(sorted(names, key=order.index))}\n"),
                                     (case, form))
        # In text, the table asked for with the notes under it, and no other's.
        self.assertEqual([call(KNOWN, "--table", table)[1].count("(Bonferroni)")
                          for table in ("levers", "rows")], [1, 0])


if __name__ == "__main__":
    unittest.main()
