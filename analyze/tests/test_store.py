"""The results store: what is put in comes back (medians, percentiles,
contexts, every repetition), a run is stored once, the choice of runs by
host, label, row and date, an older schema read, and what is refused."""

from __future__ import annotations

import array
import io
import dataclasses
import json
import os
import shutil
import sqlite3
import tempfile
import time
import unittest
import unittest.mock
from typing import Callable

from analyze import store
from analyze.__main__ import run as main_run
from analyze.errors import Unusable
from analyze.fleet import run_of
from analyze.reader import Lever, Results, results_digest
from analyze.store import (add_files, bound, decode, encode, stored_fleet, stored_results,
                           stored_runs, utc_epoch)

from .fixtures import results_of

PARTS: dict[str, list[float]] = {"creator": [5, 1, 3], "new_thread": [2.5, 0.5, 1.5], "first_line": [1, 1, 4],
         "rest": [-1, 0, 2], "process_cpu": [100, 300, 200], "wall": [7012.45399977779, 1, 2],
         "minor_faults": [10, 30, 20]}


def run(host: str, date: str, pipe: list[float], label: str = "",
        path: str = "r.json") -> Results:
    """A run of two rows: program_run/pipe of the ticks given, and a parts
    row with every kind of counter."""
    context: dict[str, object] = {"cold_helper": "/x", "host_name": host, "date": date,
                                  "kernel": "6.1.0"}
    if label:
        context["label"] = label
    return results_of({"program_run/pipe": pipe, "program_parts/default": [9, 7, 8]},
                      context, parts={"program_parts/default": PARTS}, path=path)


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


class Store(unittest.TestCase):
    def setUp(self) -> None:
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.path = os.path.join(self.dir.name, "store.db")

    def counter(self, row: str, counter: str) -> tuple[float, ...]:
        with sqlite3.connect(self.path) as con:
            found = con.execute(
                "SELECT c.repetitions, c.median, c.p10, c.p25, c.p75, c.p90, c.p99 "
                "FROM counters c JOIN names r ON r.id = c.row JOIN names k ON k.id = c.counter "
                "WHERE r.name = ? AND k.name = ?", (row, counter)).fetchall()
        con.close()
        self.assertEqual(len(found), 1, (row, counter))
        return tuple(found[0])


class KnownAnswers(Store):
    def test_medians_percentiles_and_contexts_come_back(self) -> None:
        r = run("vm", "2026-12-01T08:00:00+01:00", [4, 1, 10, 7, 3, 9, 2, 8, 6, 5], "same")
        self.assertEqual(add_files(self.path, [r]), (1, 0))
        [got] = stored_runs(self.path)
        self.assertEqual(got.key, results_digest(r).hex())
        self.assertEqual((got.host, got.label, got.date, got.path),
                         ("vm", "same", "2026-12-01T08:00:00+01:00", os.path.abspath("r.json")))
        self.assertEqual(got.context, r.context)
        self.assertEqual(got.medians, {"program_run/pipe": 5.5, "program_parts/default": 8})
        # (row, counter, repetitions, median, p10, p25, p75, p90, p99), nearest rank.
        cases = [("program_run/pipe", "ticks", 10, 5.5, 1, 3, 8, 9, 10),
                 ("program_parts/default", "creator", 3, 3, 1, 1, 5, 5, 5),
                 ("program_parts/default", "rest", 3, 0, -1, -1, 2, 2, 2),
                 ("program_parts/default", "new_thread", 3, 1.5, 0.5, 0.5, 2.5, 2.5, 2.5),
                 ("program_parts/default", "process_cpu", 3, 200, 100, 100, 300, 300, 300),
                 ("program_parts/default", "wall", 3, 2, 1, 1, 7012.45399977779,
                  7012.45399977779, 7012.45399977779),
                 ("program_parts/default", "minor_faults", 3, 20, 10, 10, 30, 30, 30)]
        for row, counter, *want in cases:
            self.assertEqual(self.counter(row, counter), tuple(want), (row, counter))

    def test_every_repetition_rows_and_levers_come_back_bit_for_bit(self) -> None:
        r = run("vm", "2026-12-01", [4, 1, 10])
        r.values["program_run/pipe"]["wall"] = array.array("d", [0.1, -0.0, 1e300])
        levers = (Lever("program_parts/default", "program_run/pipe", "ticks"),)
        r = Results(r.path, r.context, r.values, ("program_parts/default", "program_run/pipe"),
                    levers)
        add_files(self.path, [r])
        [back] = stored_results(self.path)
        self.assertEqual((back.path, back.context, back.rows, back.levers),
                         (os.path.abspath(r.path), r.context, r.rows, r.levers))
        self.assertEqual(list(back.values), list(r.values))
        # Every counter's repetitions but the wall times', whose medians and
        # percentiles alone are kept.
        for row, counters in r.values.items():
            self.assertEqual(list(back.values[row]), [c for c in counters if c != "wall"], row)
            for counter, values in counters.items():
                if counter != "wall":
                    self.assertEqual(back.values[row][counter].tobytes(), values.tobytes(),
                                     (row, counter))
        self.assertEqual(self.counter("program_run/pipe", "wall")[:2], (3, 0.1))


class Encoding(unittest.TestCase):
    def test_round_trip_whatever_the_values(self) -> None:
        # case, values: each comes back bit for bit.
        cases: list[tuple[str, list[float]]] = [("integers", [1, 2, 3]), ("thousandths", [195.223, 0.001, 7e5]),
                 ("beyond 32 bits", [2.0**31, 1, 2]), ("scaled beyond", [2.0**31 / 10, 0.1]),
                 ("fractions", [1 / 3, 2 / 3]), ("negative zero", [-0.0, 0.0]),
                 ("negative", [-1.5, -2.25]), ("huge", [1e308, 5e-324])]
        for case, values in cases:
            r = results_of({"a": values})
            rows, levers, back = decode(encode(r))
            self.assertEqual(back["a"]["ticks"].tobytes(), array.array("d", values).tobytes(),
                             case)
            self.assertEqual((rows, levers), (r.rows, r.levers), case)

    def test_integers_kept_at_the_least_scale_that_gives_them_back(self) -> None:
        # case, values, the scale (None: kept as floats).
        cases: list[tuple[str, list[float], int | None]] = [("integers", [1, -2, 3], 1), ("tenths", [0.5, 1.1], 10),
                 ("thousandths", [195.223, 0.001], 1000), ("ten thousandths", [0.0001], None),
                 ("32 bits", [2.0**31 - 1, -(2.0**31) + 1], 1), ("beyond", [2.0**31], None),
                 ("negative zero", [-0.0], None), ("a third", [1 / 3], None)]
        for case, values, scale in cases:
            kept = store._as_integers(array.array("d", values))
            self.assertEqual(None if kept is None else kept[0], scale, case)


class Dates(unittest.TestCase):
    def test_epochs(self) -> None:
        # text, seconds since 1970 UTC (None where it is no date).
        cases = [("1970-01-01T00:00:00+00:00", 0.0), ("1970-01-01T01:00:00+01:00", 0.0),
                 ("1970-01-01T00:00:00-02:30", 9000.0), ("1970-01-02", 86400.0),
                 ("1970-01-01T00:00:10", 10.0), ("yesterday", None), (None, None), (5, None)]
        # Whatever the local time zone.
        with unittest.mock.patch.dict(os.environ, {"TZ": "America/St_Johns"}):
            time.tzset()
            for text, want in cases:
                self.assertEqual(utc_epoch(text), want, text)
        time.tzset()

    def test_bounds(self) -> None:
        # option text, end, (epoch, included): a day alone is the whole day.
        cases = [("1970-01-02", False, (86400.0, True)), ("1970-01-02", True, (172800.0, False)),
                 ("1970-01-02T00:00:00+01:00", True, (82800.0, True)),
                 ("19700102", True, (172800.0, False)), ("9999-12-31", True, (253402300800.0, False))]
        for text, end, want in cases:
            self.assertEqual(bound("--until", text, end), want, text)
        with self.assertRaisesRegex(Unusable, r"^--since 'soon': not a date"):
            bound("--since", "soon", False)


class Identity(Store):
    def test_a_run_is_stored_once(self) -> None:
        r = run("vm", "2026-12-01", [1, 2, 3])
        copy = run("vm", "2026-12-01", [1, 2, 3], path="elsewhere/copy.json")
        other = run("vm", "2026-12-01", [1, 2, 4])
        self.assertEqual(add_files(self.path, [r, r]), (1, 1))
        self.assertEqual(add_files(self.path, [copy]), (0, 1))
        self.assertEqual(add_files(self.path, [other, r]), (1, 1))
        runs = stored_runs(self.path)
        self.assertEqual(len(runs), 2)
        # The path of the first time it was added.
        self.assertEqual(sorted(r.path for r in runs), [os.path.abspath("r.json")] * 2)


class Choice(Store):
    def setUp(self) -> None:
        super().setUp()
        add_files(self.path, [
            run("b", "2026-12-02T00:30:00+00:00", [1, 2, 3], "x"),
            # 01:30 UTC on the 2nd: after the run above, though its text sorts before.
            run("b", "2026-12-01T23:30:00-02:00", [2, 3, 4], "x"),
            run("a", "2026-12-03T00:00:00+00:00", [3, 4, 5], "y"),
            run("a", "2026-11-30T12:00:00+00:00", [4, 5, 6]),
            # Another host of the label x: its latest run is not this one.
            run("c", "2026-12-01T00:00:00+00:00", [0, 1, 2], "x"),
        ])

    def pipes(self, **choice: object) -> list[float]:
        return [r.medians.get("program_run/pipe", -1)
                for r in stored_runs(self.path, **choice)]  # type: ignore[arg-type]

    def test_ordered_by_host_then_date_and_chosen(self) -> None:
        # case, the choice, the runs' medians of the pipe in the order returned.
        cases: list[tuple[str, dict[str, object], list[float]]] = [
            ("all", {}, [5, 4, 2, 3, 1]),
            ("a host", {"hosts": ["b"]}, [2, 3]),
            ("hosts", {"hosts": ["b", "a"]}, [5, 4, 2, 3]),
            ("no such host", {"hosts": ["d"]}, []),
            ("a label", {"labels": ["x"]}, [2, 3, 1]),
            ("since a day", {"since": "2026-12-02"}, [4, 2, 3]),
            ("until a day, the whole day", {"until": "2026-12-01"}, [5, 1]),
            ("until an instant, in another offset", {"until": "2026-12-02T02:00:00+01:00"},
             [5, 2, 1]),
            ("since an instant", {"since": "2026-12-02T01:30:00Z"}, [4, 3]),
            ("a day", {"since": "2026-12-02", "until": "2026-12-02"}, [2, 3]),
        ]
        for case, choice, want in cases:
            self.assertEqual(self.pipes(**choice), want, case)

    def test_rows_chosen(self) -> None:
        runs = stored_runs(self.path, rows=["program_parts/default"])
        self.assertEqual([list(r.medians) for r in runs], [["program_parts/default"]] * 5)
        self.assertEqual(stored_runs(self.path, rows=["nothing"]), [])

    def test_latest_runs_of_each_host(self) -> None:
        # latest, the hosts (label, else host name) and pipe medians kept.
        cases = [(1, [("a", 5), ("x", 3), ("y", 4)]), (2, [("a", 5), ("x", 2), ("x", 3),
                                                           ("y", 4)]),
                 (None, [("a", 5), ("x", 1), ("x", 2), ("x", 3), ("y", 4)])]
        for latest, want in cases:
            got = stored_results(self.path, latest=latest)
            self.assertEqual(sorted((r.context.get("label") or str(r.context["host_name"]),
                                     r.ticks["program_run/pipe"][1]) for r in got), want,
                             latest)


# The schema before epochs, as a store of it was made.
SCHEMA_1 = """
CREATE TABLE runs (id INTEGER PRIMARY KEY, key BLOB NOT NULL UNIQUE, path TEXT NOT NULL,
    host TEXT NOT NULL, label TEXT NOT NULL, date TEXT NOT NULL, context TEXT NOT NULL);
CREATE INDEX runs_host ON runs (host, date);
CREATE INDEX runs_label ON runs (label);
CREATE TABLE repetitions (run INTEGER PRIMARY KEY REFERENCES runs (id), data BLOB NOT NULL);
CREATE TABLE names (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE counters (run INTEGER NOT NULL, counter INTEGER NOT NULL, row INTEGER NOT NULL,
    position INTEGER NOT NULL, repetitions INTEGER NOT NULL, median REAL NOT NULL,
    p10 REAL NOT NULL, p25 REAL NOT NULL, p75 REAL NOT NULL, p90 REAL NOT NULL,
    p99 REAL NOT NULL, PRIMARY KEY (run, counter, row)) WITHOUT ROWID;
PRAGMA application_id = 1414742355;
PRAGMA user_version = 1;
INSERT INTO names VALUES (1, 'ticks'), (2, 'program_run/pipe');
"""


class Schemas(Store):
    def old_store(self) -> Results:
        r = run("vm", "2026-12-01T23:30:00-02:00", [1, 2, 3])
        con = sqlite3.connect(self.path)
        con.executescript(SCHEMA_1)
        con.execute("INSERT INTO runs VALUES (1, ?, 'old.json', 'vm', '', ?, ?)",
                    (results_digest(r), r.context["date"], json.dumps(r.context)))
        con.execute("INSERT INTO repetitions VALUES (1, ?)", (encode(r),))
        con.execute("INSERT INTO counters VALUES (1, 1, 2, 0, 3, 2, 1, 1, 3, 3, 3)")
        con.commit()
        con.close()
        return r

    def test_an_older_store_is_read_and_brought_up_to_date(self) -> None:
        r = self.old_store()
        # The date compared as an instant, which schema 1 could not.
        [got] = stored_runs(self.path, since="2026-12-02")
        self.assertEqual((got.path, got.medians), ("old.json", {"program_run/pipe": 2}))
        self.assertEqual(stored_runs(self.path, until="2026-12-01"), [])
        with sqlite3.connect(self.path) as con:
            self.assertEqual(con.execute("PRAGMA user_version").fetchone(), (store.SCHEMA,))
        con.close()
        self.assertEqual(add_files(self.path, [r, run("vm", "2026-12-03", [5, 6, 7])]), (1, 1))
        self.assertEqual([r.medians["program_run/pipe"] for r in stored_runs(self.path)],
                         [2, 6])
        self.assertEqual(len(stored_results(self.path)), 2)

    def test_a_newer_store_is_refused_in_one_line(self) -> None:
        add_files(self.path, [run("vm", "2026-12-01", [1, 2, 3])])
        with sqlite3.connect(self.path) as con:
            con.execute(f"PRAGMA user_version = {store.SCHEMA + 1}")
        con.close()
        before = self.snapshot()
        for call in (lambda: stored_runs(self.path), lambda: stored_results(self.path),
                     lambda: add_files(self.path, [run("vm", "2026-12-02", [1, 2, 3])])):
            with self.assertRaises(Unusable) as caught:
                call()
            self.assertEqual(str(caught.exception),
                             f"{self.path}: a results store of schema {store.SCHEMA + 1}; "
                             f"this thread-start-analyze reads schemas 1 to {store.SCHEMA}: "
                             f"use a newer one")
        self.assertEqual(self.snapshot(), before)

    def snapshot(self) -> tuple[bytes, int]:
        with open(self.path, "rb") as f:
            return f.read(), os.stat(self.path).st_mtime_ns


def relaid(blob: bytes, count: int) -> bytes:
    """The repetitions kept, their first counter's count said to be `count`."""
    import zlib

    data = zlib.decompress(blob)
    size = int.from_bytes(data[:4], "little")
    head = json.loads(data[4:4 + size])
    head["layout"][0][3] = count
    text = json.dumps(head).encode()
    return zlib.compress(len(text).to_bytes(4, "little") + text + data[4 + size:])


class Crafted(Store):
    def test_refused_in_one_line_naming_the_run(self) -> None:
        # case, the UPDATE of a store of one run, the call (m: the medians,
        # r: every repetition), what the line says of the run.
        cases = [
            ("a context no object", "runs SET context = '[1]'",
             "m", "run 1 of '.*': its context is not a results file's"),
            ("a context cut short", "runs SET context = substr(context, 1, 40)", "r", "its context is not JSON"),
            ("a bit flipped in the host", "runs SET context = replace(context, '\"vm\"', '\"vl\"')",
             "m", "its host, label or date is not"),
            ("a context not UTF-8", "runs SET context = CAST(X'7bff7d' AS TEXT)", "m", "its context is not JSON"),
            ("a context as a blob", "runs SET context = CAST(context AS BLOB)",
             "r", "types blob text text text text blob"),
            ("a key too long", "runs SET key = CAST(key || X'00' AS BLOB)", "m", "not a key and text"),
            ("another JSON object", "runs SET context = '{\"host_name\": \"vm\"}'",
             "m", "its context is not a results file's"),
            ("a date as a number", "runs SET date = '1', context = json_set(context, '$.date', 1)",
             "m", "its host, label or date is not"),
            ("an epoch as text", "runs SET epoch = 'soon'", "r", "its epoch soon is not its date's"),
            ("an epoch not its date's", "runs SET epoch = epoch + 1", "m", "its epoch .* is not its date's"),
            ("a median as text", "counters SET median = 'x'", "m", "a median 'x' of the row .*, not a number"),
            ("a median as a blob", "counters SET median = X'00'", "m", "a median .* not a number"),
            ("a median infinite", "counters SET median = 1e999", "m", "a median 'inf'"),
            ("a median of a missing run", "counters SET run = 7 WHERE position = 0",
             "m", "run 7, row .*, which is not stored"),
            ("a negative count", "repetitions SET data = relaid(data, -1)",
             "r", "cannot be read \\(a layout entry"),
            ("a count beyond the data", "repetitions SET data = relaid(data, 99)",
             "r", "\\(the layout of .* does not fit"),
            ("a count short of the data", "repetitions SET data = relaid(data, 1)",
             "r", "\\(bytes beyond the layout"),
            ("repetitions as text", "repetitions SET data = 'x'", "r", "cannot be read \\(not a blob"),
            # f: the fleet's medians and errors
            ("a median as text, to the fleet", "counters SET median = 'x'", "f",
             "a median 'x' of the row .*, not a number"),
            ("an error as text", "errors SET error = 'x'", "f",
             "an error 'x' of the row .*, not a number of 0 or more"),
            ("an error negative", "errors SET error = -1", "f", "an error '-1.0'"),
            ("an error infinite", "errors SET error = 1e999", "f", "an error 'inf'"),
            ("an error of a missing run", "errors SET run = 7 WHERE row = 2", "f",
             "an error of the run 7, row 2, which is not stored"),
            ("errors lost, repetitions as text",
             "repetitions SET data = 'x'; DELETE FROM errors", "f",
             "cannot be read \\(not a blob"),
            ("errors lost, a count beyond the data",
             "repetitions SET data = relaid(data, 99); DELETE FROM errors", "f",
             "\\(the layout of .* does not fit"),
            ("errors of rows not the medians'", "counters SET row = 1 WHERE position = 0", "f",
             "its medians are not of its repetitions' rows"),
        ]
        calls: dict[str, Callable[[str], object]] = {"m": stored_runs, "r": stored_results,
                                                     "f": stored_fleet}
        for case, change, call, reason in cases:
            if os.path.exists(self.path):
                os.unlink(self.path)
            add_files(self.path, [run("vm", "2026-12-01T08:00:00+01:00", [1, 2, 3])])
            con = sqlite3.connect(self.path)
            con.create_function("relaid", 2, relaid)
            con.executescript("UPDATE " + change)
            con.close()
            with self.assertRaisesRegex(Unusable, "^" + self.path + ": not a sound results store.*"
                                        + reason, msg=case):
                calls[call](self.path)


class NotStores(Store):
    def test_refused_and_left_as_they_were(self) -> None:
        other = os.path.join(self.dir.name, "other.db")
        con = sqlite3.connect(other)
        con.execute("CREATE TABLE runs (id INTEGER)")
        con.commit()
        con.close()
        text = os.path.join(self.dir.name, "text")
        with open(text, "w", encoding="utf-8") as f:
            f.write("SQLite format 3 is what this is not\n" * 10)
        empty = os.path.join(self.dir.name, "empty")
        open(empty, "w", encoding="utf-8").close()
        fifo = os.path.join(self.dir.name, "fifo")
        os.mkfifo(fifo)
        linked = os.path.join(self.dir.name, "linked")
        add_files(linked, [run("vm", "2026-12-01", [1, 2])])
        os.link(linked, linked + "2")
        # A store being made beside it, of another file, takes no link away.
        other_made = os.path.join(self.dir.name, f".linked.{os.getpid()}.0123abcd.new")
        open(other_made, "w", encoding="utf-8").close()
        short = os.path.join(self.dir.name, "short")
        with open(short, "wb") as f:
            f.write(store.SQLITE_HEADER + b"\0" * 20)
        # case, path, reason.
        cases = [("another's SQLite database", other, "an SQLite database, but not a results "
                                                      "store of thread-start-analyze"),
                 ("text", text, "not a results store (not an SQLite database)"),
                 ("a header cut short", short, "not a results store (not an SQLite database)"),
                 ("empty", empty, "an empty file, not a results store"),
                 ("a FIFO", fifo, "not a regular file, so not a results store"),
                 ("a directory", self.dir.name, "a directory, not a results store"),
                 ("a store of two hard links", linked, "has 2 hard links, with which a killed "
                  "writer's journal would be lost; give the store a file of its own")]
        r = run("vm", "2026-12-01", [1, 2, 3])
        for case, path, reason in cases:
            before = os.stat(path)
            content = read(path) if os.path.isfile(path) else b""
            for call in (lambda: add_files(path, [r]), lambda: stored_runs(path)):
                with self.assertRaises(Unusable) as caught:
                    call()
                self.assertEqual(str(caught.exception), f"{path}: {reason}", case)
            after = os.stat(path)
            self.assertEqual((after.st_mtime_ns, after.st_size, after.st_mode),
                             (before.st_mtime_ns, before.st_size, before.st_mode), case)
            if content:
                self.assertEqual(read(path), content, case)
        self.assertEqual(sorted(os.listdir(self.dir.name)),
                         [os.path.basename(other_made), "empty", "fifo", "linked", "linked2",
                          "other.db", "short", "text"])
        # A copy is a store of its own.
        shutil.copyfile(linked, linked + ".copy")
        self.assertEqual(len(stored_runs(linked + ".copy")), 1)

    def test_a_store_of_schema_0_is_no_sound_store(self) -> None:
        add_files(self.path, [run("vm", "2026-12-01", [1, 2])])
        sqlite3.connect(self.path, isolation_level=None).execute("PRAGMA user_version = 0")
        with self.assertRaisesRegex(Unusable, "^" + self.path + ": not a sound results store "
                                    "\\(of schema 0, which no thread-start-analyze writes\\)$"):
            stored_runs(self.path)

    def test_memory_that_runs_out_is_one_line(self) -> None:
        # A limit on memory met while reading (ulimit -v makes it for real
        # in the store's bats suite): status 1, one line, no traceback.
        add_files(self.path, [run("vm", "2026-12-01", [1, 2])])
        err = io.StringIO()
        with unittest.mock.patch("analyze.store.stored_fleet", side_effect=MemoryError), \
                unittest.mock.patch("sys.stderr", err):
            self.assertEqual(main_run(["fleet", "--store", self.path]), 1)
        self.assertRegex(err.getvalue(), "^thread-start-analyze: out of memory: [^\n]*\n$")

    def test_a_missing_store_is_not_read(self) -> None:
        with self.assertRaisesRegex(Unusable, "No such file"):
            stored_runs(self.path)
        self.assertFalse(os.path.exists(self.path))


if __name__ == "__main__":
    unittest.main()


def fleet_of(path: str) -> list[tuple[object, ...]]:
    return [(r.context["date"], r.rows, r.medians, r.errors) for r in stored_fleet(path)]


class Fleet(Store):
    """The fleet from a store: each run's rows, medians and their errors as
    from its file, whether stored with the run, made when an older store
    is brought up to date, or made from the repetitions where the store
    lacks them."""

    def runs(self, count: int, repetitions: int) -> list[Results]:
        # Rows declared in another order than their repetitions'.
        rows = ("program_run/r2", "program_run/r0", "program_run/r1")
        return [dataclasses.replace(results_of(
            {f"program_run/r{j}": [float(1000 * j + (k * 7919 + i) % 97)
                                   for k in range(repetitions)] for j in range(3)},
            {"cold_helper": "/x", "host_name": f"h{i % 3}", "rows": " ".join(rows),
             "date": f"2026-12-01T08:00:00+00:00 {i}"}, path=f"run{i}.json"), rows=rows)
            for i in range(count)]

    def test_runs_of_one_instant_in_the_order_added(self) -> None:
        # As the files given apart would be: the same fleet either way.
        results = [dataclasses.replace(r, context={**r.context, "date": "2026-12-01T08:00:00Z"})
                   for r in self.runs(12, 3)]
        add_files(self.path, results)
        self.assertEqual([os.path.basename(r.path) for r in stored_fleet(self.path)],
                         [f"run{i}.json" for h in range(3) for i in range(h, 12, 3)])

    def test_what_the_files_give(self) -> None:
        results = self.runs(6, 9)
        want = sorted(((r.context["date"], r.rows, r.medians, r.errors)
                       for r in map(run_of, results)), key=str)
        # case, the change to the store as added, the schema after reading
        cases = [
            ("as added", "", 4),
            ("errors lost: made from the repetitions", "DELETE FROM errors WHERE run = 2", 4),
            ("schema 2: brought up to date", "DROP TABLE errors; PRAGMA user_version = 2", 4),
            ("schema 3: its errors made again", "UPDATE errors SET error = error * 100; "
             "PRAGMA user_version = 3", 4),
        ]
        for case, change, schema in cases:
            if os.path.exists(self.path):
                os.unlink(self.path)
            add_files(self.path, results)
            with sqlite3.connect(self.path) as con:
                con.executescript(change)
            con.close()
            got = fleet_of(self.path)
            with sqlite3.connect(self.path) as con:
                stored = con.execute("SELECT (SELECT user_version FROM pragma_user_version), "
                                     "count(*) FROM errors").fetchone()
            con.close()
            self.assertEqual(sorted(got, key=str), sorted(want, key=str), case)
            self.assertEqual(stored, (schema, 18 - 3 * ("DELETE" in change)), case)
