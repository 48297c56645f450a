"""The reader: a valid file, the rows and levers its context declares or
that are inferred without them, and each kind of file it refuses."""

from __future__ import annotations

import json
import os
import tempfile
import unittest
from concurrent.futures import ProcessPoolExecutor
from typing import Any
from unittest import mock

from analyze import reader
from analyze.errors import Unusable
from analyze.reader import Lever, Results, number_of, row_name, rows_of

from .fixtures import KNOWN, results_of, write_results

KNOWN_ROWS = ("program_run/pipe", "program_run/pipe_one_arena", "program_run/pinned",
              "program_run/tty", "program_parts/default", "program_parts/own_stack",
              "cold_thread_start", "warm_create_join")
KNOWN_LEVERS = (Lever("program_run/pipe_one_arena", "program_run/pipe", "ticks"),
                Lever("program_run/pinned", "program_run/pipe", "ticks"),
                Lever("program_parts/own_stack", "program_parts/default", "creator"))


def known() -> dict[str, Any]:
    with open(KNOWN, encoding="utf-8") as f:
        data: dict[str, Any] = json.load(f)
    return data


class Files(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name: str) -> str:
        return os.path.join(self.dir.name, name)

    def write(self, name: str, text: str | bytes) -> str:
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(text.encode() if isinstance(text, str) else text)
        return path

    def write_json(self, name: str, data: object) -> str:
        return self.write(name, json.dumps(data))

    def refused(self, path: str, reason: str) -> None:
        """Reading `path` is refused, naming the file and `reason`."""
        with self.assertRaises(Unusable) as caught:
            Results.read(path)
        message = str(caught.exception)
        self.assertTrue(message.startswith(f"{path}: "), message)
        self.assertIn(reason, message)
        self.assertNotIn("\n", message)


class ValidFiles(Files):
    def test_the_known_file(self) -> None:
        r = Results.read(KNOWN)
        self.assertEqual(r.rows, KNOWN_ROWS)
        self.assertEqual(r.levers, KNOWN_LEVERS)
        self.assertEqual(list(r.ticks["program_run/pipe"]), [4, 1, 10, 7, 3, 9, 2, 8, 6, 5])
        self.assertEqual(list(r.ticks["warm_create_join"]), [1.5, 2.5])
        self.assertEqual(list(r.values["program_parts/default"]["creator"]), [1, 20, 8])
        self.assertNotIn("creator", r.values["program_run/pipe"])
        self.assertEqual(r.name, "known")
        self.assertEqual(r.context["kernel"], "6.1.0")

    def test_read_a_few_characters_at_a_time_it_reads_the_same(self) -> None:
        whole = Results.read(KNOWN)
        with mock.patch.object(reader.JsonStream, "CHUNK", 7), \
                mock.patch.object(reader, "WHOLE_BYTES", -1):
            bits = Results.read(KNOWN)
        self.assertEqual((bits.context, bits.values, bits.rows, bits.levers),
                         (whole.context, whole.values, whole.rows, whole.levers))

    def test_read_by_columns_as_one_by_one(self) -> None:
        # (case, change to every repetition of program_parts/default)
        cases = [("as written", {}),
                 ("counts and ms", {**{c: 2 for c in reader.PART_COUNTS}, "real_time": 2.5,
                                    "time_unit": "ms", "process_cpu": 9}),
                 ("negative rest", {"rest": -2.5})]
        for case, change in cases:
            data = known()
            for run in data["benchmarks"]:
                if run["run_name"].startswith("program_parts/default/"):
                    run.update(change)
            path = self.write_json("columns.json", data)
            with mock.patch.object(reader._Collected, "add",
                                   side_effect=AssertionError("read one by one")):
                columns = Results.read(path)
            with mock.patch.object(reader._Collected, "_add_columns", return_value=False):
                one_by_one = Results.read(path)
            self.assertEqual([(row, list(c.items())) for row, c in columns.values.items()],
                             [(row, list(c.items())) for row, c in one_by_one.values.items()], case)

    def test_without_the_entries_rows_as_they_come_and_levers_inferred(self) -> None:
        data = known()
        del data["context"]["rows"], data["context"]["levers"]
        r = Results.read(self.write_json("older.json", data))
        # The order of their first repetitions in the file.
        self.assertEqual(r.rows, ("program_run/pipe", "program_run/pipe_one_arena",
                                  "program_run/pinned", "program_run/tty", "cold_thread_start",
                                  "warm_create_join", "program_parts/default",
                                  "program_parts/own_stack"))
        self.assertEqual(r.levers, KNOWN_LEVERS)

    def test_declared_rows_first_then_any_left_out(self) -> None:
        path = write_results(self.path("r.json"), {"b": [1, 2], "a": [1, 2], "c": [3, 4]},
                             {"rows": "c a", "levers": ""})
        r = Results.read(path)
        self.assertEqual(r.rows, ("c", "a", "b"))
        self.assertEqual(r.levers, ())

    def test_declared_levers_as_declared(self) -> None:
        path = write_results(
            self.path("r.json"),
            {"program_run/pipe": [1, 2], "program_run/pinned": [1, 2], "program_run/x": [2, 3]},
            {"levers": "program_run/x:program_run/pipe:ticks program_run/pipe:program_run/x:ticks"})
        self.assertEqual(Results.read(path).levers, (
            Lever("program_run/x", "program_run/pipe", "ticks"),
            Lever("program_run/pipe", "program_run/x", "ticks")))

    def test_the_label_or_else_the_file_name(self) -> None:
        self.assertEqual(Results.read(write_results(self.path("n.json"), {"a": [1, 2]})).name,
                         "n.json")

    def test_a_negative_rest_is_kept(self) -> None:
        data = known()
        parts = [b for b in data["benchmarks"] if "rest" in b]
        parts[0]["rest"] = -1.5
        r = Results.read(self.write_json("rest.json", data))
        self.assertEqual(r.values["program_parts/default"]["rest"][0], -1.5)

    def test_process_cpu_and_wall_in_microseconds_whatever_the_unit(self) -> None:
        # (time_unit, real_time, wall kept in microseconds), one a line.
        cases = [("ns", 2500.0, 2.5), ("us", 2.5, 2.5), ("ms", 2.5, 2500.0),
                 ("s", 2.5, 2.5e6), (None, 2500.0, 2.5)]
        for unit, real, wall in cases:
            data = known()
            for run in data["benchmarks"]:
                run.update(process_cpu=7.5, real_time=real)
                if unit is None:
                    run.pop("time_unit", None)
                else:
                    run["time_unit"] = unit
            r = Results.read(self.write_json(f"unit-{unit}.json", data))
            pipe = r.values["program_run/pipe"]
            self.assertEqual((pipe["process_cpu"][0], pipe["wall"][0]), (7.5, wall), unit)
        data = known()  # units that differ between repetitions of a row
        for i, run in enumerate(data["benchmarks"]):
            run.update(real_time=2.5, time_unit=("us", "ms")[i % 2])
        pipe = Results.read(self.write_json("mixed.json", data)).values["program_run/pipe"]
        self.assertEqual(list(pipe["wall"][:2]), [2.5, 2500.0])


class RefusedFiles(Files):
    def test_not_a_regular_file(self) -> None:
        self.refused(self.dir.name, "not a regular file")
        self.refused("/dev/null", "not a regular file")

    def test_missing(self) -> None:
        self.refused(self.path("missing.json"), "No such file or directory")

    def test_too_large(self) -> None:
        with mock.patch.object(reader, "MOST_BYTES", 10):
            self.refused(KNOWN, "larger than 0 MiB")

    def test_not_json(self) -> None:
        self.refused(self.write("text.json", "not json"), "not a JSON file")
        self.refused(self.write("cut.json", '{"context": {"cold_helper": "/x"'),
                     "not a JSON file")
        self.refused(self.write("after.json", '{"context": {"cold_helper": "/x"}} x'),
                     "not a JSON file")
        self.refused(self.write("latin1.json", b'{"context": "\xe9"}'), "not a JSON file")

    def test_nested_too_deeply(self) -> None:
        depth = 100000
        self.refused(self.write("deep.json", '{"context": ' + "[" * depth + "]" * depth + "}"),
                     "nested too deeply")

    def test_not_the_bench_s(self) -> None:
        self.refused(self.write_json("other.json", {"benchmarks": []}),
                     "not the JSON output of thread-start-bench")
        self.refused(self.write_json("list.json", {"context": [], "benchmarks": []}),
                     "not the JSON output of thread-start-bench")

    def test_aggregates_only(self) -> None:
        data = known()
        data["benchmarks"] = [b for b in data["benchmarks"] if b["run_type"] == "aggregate"]
        self.refused(self.write_json("aggregates.json", data), "aggregates only")

    def test_no_repetitions(self) -> None:
        self.refused(self.write_json("none.json", {"context": {"cold_helper": "/x"}}),
                     "holds no repetitions")

    def test_an_entry_that_is_no_repetition(self) -> None:
        data = known()
        data["benchmarks"].append(5)
        self.refused(self.write_json("five.json", data), "an entry of benchmarks is not an object")
        for key in ("run_name", "run_type"):
            data = known()
            del data["benchmarks"][0][key]
            self.refused(self.write_json(f"no-{key}.json", data),
                         "an entry of benchmarks has no run_name or run_type")

    def test_values_that_are_no_count_of_ticks(self) -> None:
        for i, value in enumerate(["NaN", "Infinity", "-Infinity", "true", '"5"', "-1", "null",
                                   "1" + "0" * 400]):
            text = json.dumps(known()).replace('"ticks": 4}', f'"ticks": {value}}}', 1)
            self.refused(self.write(f"value{i}.json", text),
                         "a repetition of program_run/pipe has ticks")
        data = known()
        del data["benchmarks"][-1]["creator"]
        self.refused(self.write_json("no-creator.json", data),
                     "a repetition of program_parts/own_stack has creator null")
        data = known()
        for run in data["benchmarks"]:
            if run["run_name"].startswith("program_run/pipe/"):
                del run["ticks"]
        self.refused(self.write_json("no-ticks.json", data),
                     "a repetition of program_run/pipe has ticks null")

    def test_process_cpu_or_wall_unusable_or_on_some_repetitions_only(self) -> None:
        # (what is done to a repetition of program_run/pipe, the first unless
        # said, reason)
        cases: list[tuple[dict[str, Any], str]] = [
            ({"process_cpu": -1}, "has process_cpu -1"),
            ({"process_cpu": "5"}, 'has process_cpu "5"'),
            ({"real_time": 1, "time_unit": "days"}, "has wall"),
            ({"real_time": -1}, "has wall"),
            ({"process_cpu": 5}, "some repetitions of program_run/pipe have process_cpu"),
            ({"real_time": 5}, "some repetitions of program_run/pipe have wall"),
            ({"process_cpu": 5, "at": 1},
             "some repetitions of program_run/pipe have process_cpu")]
        for i, (change, reason) in enumerate(cases):
            data = known()
            for run in data["benchmarks"]:
                run.pop("process_cpu", None)
                run.pop("real_time", None)
            data["benchmarks"][int(change.pop("at", 0))].update(change)
            self.assertEqual(data["benchmarks"][0]["run_name"].split("/")[1], "pipe")
            self.refused(self.write_json(f"optional{i}.json", data), reason)

    def test_a_number_beyond_python(self) -> None:
        text = json.dumps(known()).replace('"ticks": 4}', '"ticks": 1' + "0" * 5000 + "}", 1)
        self.refused(self.write("digits.json", text), "not the bench's JSON")

    def test_one_repetition(self) -> None:
        self.refused(write_results(self.path("one.json"), {"program_run/pipe": [5]}),
                     "program_run/pipe has 1 repetition; statistics need at least 2")

    def test_malformed_rows(self) -> None:
        rows = " ".join(KNOWN_ROWS)
        for name, value, reason in [
            ("spaces", rows.replace(" ", "  ", 1), "is not a list separated by single spaces"),
            ("leading", " " + rows, "is not a list separated by single spaces"),
            ("list", list(KNOWN_ROWS), "is not a list separated by single spaces"),
            ("twice", rows + " program_run/pipe", "does not name each row once"),
            ("empty", "", "does not name each row once"),
            ("absent", rows + " program_run/gone",
             "the context entry rows names program_run/gone, of which the file has no"),
        ]:
            with self.subTest(name):
                data = known()
                data["context"]["rows"] = value
                self.refused(self.write_json(f"rows-{name}.json", data), reason)

    def test_malformed_levers(self) -> None:
        for name, value, reason in [
            ("two", "program_run/pinned:program_run/pipe", "not ROW:BASE:COUNTER"),
            ("four", "program_run/pinned:program_run/pipe:ticks:x", "not ROW:BASE:COUNTER"),
            ("empty part", "program_run/pinned::ticks", "not ROW:BASE:COUNTER"),
            ("spaces", "program_run/pinned:program_run/pipe:ticks  ", "single spaces"),
            ("number", 5, "is not a list separated by single spaces"),
            ("absent row", "program_run/gone:program_run/pipe:ticks",
             "the context entry levers names program_run/gone"),
            ("absent base", "program_run/pinned:program_run/gone:ticks",
             "the context entry levers names program_run/gone"),
            ("counter", "program_run/pinned:program_run/pipe:creator",
             "compares creator of program_run/pinned, which has no such counter"),
        ]:
            with self.subTest(name):
                data = known()
                data["context"]["levers"] = value
                self.refused(self.write_json(f"levers-{name}.json", data), reason)


class RefusedStreamed(RefusedFiles):
    """The same refusals of files read a value at a time, as files larger
    than WHOLE_BYTES are."""

    def setUp(self) -> None:
        super().setUp()
        patch = mock.patch.object(reader, "WHOLE_BYTES", -1)
        patch.start()
        self.addCleanup(patch.stop)


PARENT = os.getpid()


def read_or_die(path: str) -> Results:
    """Results.read, but a reading process other than the test's dies."""
    if os.getpid() != PARENT:
        os._exit(1)
    return Results.read(path)


class ManyFiles(Files):
    def test_read_by_several_processes_as_by_one(self) -> None:
        # (case, of 9 files those unusable, the reading, no pool made, the file named)
        cases = [("many", (), Results.read, None, None),
                 ("the first unusable named", (6, 3), Results.read, None, 3),
                 ("a reading process killed", (), read_or_die, None, None),
                 ("no semaphores", (), read_or_die, OSError(30, "Read-only file system"), None)]
        for case, unusable, read, no_pool, named in cases:
            paths = [write_results(self.path(f"{case}{i}.json"), {"a": [i, 2 * i]})
                     if i not in unusable else self.write(f"{case}{i}.json", "{")
                     for i in range(9)]
            with mock.patch.object(reader.os, "sched_getaffinity", return_value={0, 1, 2}), \
                    mock.patch("concurrent.futures.ProcessPoolExecutor", side_effect=no_pool,
                               wraps=ProcessPoolExecutor):
                if named is None:
                    read_all = reader.read_all(paths, read)
                    self.assertEqual([list(r.ticks["a"]) for r in read_all],
                                     [[i, 2 * i] for i in range(9)], case)
                    continue
                with self.assertRaises(Unusable, msg=case) as caught:
                    reader.read_all(paths, read)
                self.assertTrue(str(caught.exception).startswith(paths[named]), case)


class Names(unittest.TestCase):
    def test_a_row_is_its_run_name_less_the_library_s_words(self) -> None:
        self.assertEqual(row_name("program_run/pipe/iterations:1/repeats:200/manual_time"),
                         "program_run/pipe")
        self.assertEqual(row_name("warm_create_join/iterations:100/repeats:2/process_time/"
                                  "real_time"), "warm_create_join")

    def test_numbers(self) -> None:
        self.assertEqual(number_of(3), 3.0)
        self.assertEqual(number_of(2.5), 2.5)
        for value in (True, "5", None, float("nan"), float("inf"), 10 ** 400):
            self.assertIsNone(number_of(value), value)


class Order(unittest.TestCase):
    def test_rows_of_several_files_keep_each_file_s_order(self) -> None:
        one = results_of({"a": [1, 2], "b": [1, 2], "d": [1, 2]})
        other = results_of({"x": [1, 2], "a": [1, 2], "c": [1, 2], "d": [1, 2], "e": [1, 2]})
        self.assertEqual(rows_of([one, other]), ["x", "a", "b", "c", "d", "e"])
        self.assertEqual(rows_of([other, one]), ["x", "a", "c", "b", "d", "e"])
        self.assertEqual(rows_of([one]), ["a", "b", "d"])


if __name__ == "__main__":
    unittest.main()
