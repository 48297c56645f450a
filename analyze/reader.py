"""The results files of thread-start-bench, read a value at a time and
checked: every repetition of every row, the machine's context, and the
rows' order and levers as the bench declares them."""

from __future__ import annotations

import array
import functools
import hashlib
import json
import math
import os
import re
import signal
import stat
from dataclasses import dataclass
from typing import IO, Callable, NamedTuple, Sequence, TypeVar

from .errors import Unusable
from .rounds import row_shares

# The parts that every repetition of a parts row splits its span into.
PARTS = ("creator", "new_thread", "first_line", "rest")
PARTS_PREFIX = "program_parts/"
# What thread-start-parts counts of each part but the rest: minor and major
# page faults, voluntary and involuntary context switches. A parts row's
# repetitions have each PART_COUNT (creator_faults, ...) or, in a file
# written before them, none.
COUNTS = ("faults", "major_faults", "switches", "involuntary_switches")
PART_COUNTS = tuple(f"{part}_{count}" for part in PARTS[:3] for count in COUNTS)
# The largest file read: the bench's largest run fits well within it.
MOST_BYTES = 1 << 30
# Files up to this size are decoded whole, which is several times faster
# than a value at a time; larger ones are streamed, to bound the memory.
WHOLE_BYTES = 64 << 20
# The words of a Google Benchmark run name that are not the row's.
TIME_WORDS = ("manual_time", "process_time", "real_time")
# Counters kept of a row where its repetitions have them: the measured
# process's user plus system time, in microseconds, and the wall time of a
# repetition (Google Benchmark's real_time), made microseconds.
PROCESS_CPU = "process_cpu"
WALL = "wall"
OPTIONAL_COUNTERS = (PROCESS_CPU, WALL)
# Microseconds in one of each of Google Benchmark's time units.
MICROSECONDS = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


class DuplicateKey(Exception):
    """An object of the file names a key twice, which JSON readers take
    each in its own way: the file is refused rather than read as one of
    them would."""

    def __init__(self, key: str) -> None:
        super().__init__(key)
        self.key = key


def unique_keys(pairs: list[tuple[str, object]]) -> dict[str, object]:
    result = dict(pairs)
    if len(result) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise DuplicateKey(key)
            seen.add(key)
    return result


# What JSON allows between values.
SPACE = re.compile(r"[ \t\r\n]*")
# NaN and the infinities are read as floats, to be refused with the entry
# they stand in.
DECODER = json.JSONDecoder(parse_constant=float, object_pairs_hook=unique_keys)


class Lever(NamedTuple):
    """A row that changes one thing of its base row, and the counter it is
    meant to act on (its ticks are compared too)."""

    row: str
    base: str
    counter: str


@functools.lru_cache(maxsize=4096)
def row_name(run_name: str) -> str:
    """The row of a Google Benchmark run name: 'program_run/pipe' of
    'program_run/pipe/iterations:1/repeats:200/manual_time'."""
    return "/".join(p for p in run_name.split("/") if ":" not in p and p not in TIME_WORDS)


def number_of(value: object) -> float | None:
    """`value` as a float if it is a finite number, else None."""
    # Most values are floats: they are taken first, at once.
    if type(value) is float:
        return value if math.isfinite(value) else None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        number = float(value)
    except OverflowError:
        return None
    return number if math.isfinite(number) else None


def _column(group: list[dict[str, object]], key: str) -> array.array[float] | None:
    """Every entry's `key` as floats, or None unless each is a finite
    number (an int or a float, not a bool)."""
    cells = [run.get(key) for run in group]
    if not set(map(type, cells)) <= {float, int}:
        return None
    try:
        column: array.array[float] = array.array("d", cells)  # type: ignore[arg-type]
    except OverflowError:
        return None
    return column if all(map(math.isfinite, column)) else None


def optional_counters(run: dict[str, object]) -> dict[str, float | None]:
    """The counters of OPTIONAL_COUNTERS that a repetition has, each a
    number of 0 or more, or None where it is something else."""
    found: dict[str, float | None] = {}
    if PROCESS_CPU in run:
        found[PROCESS_CPU] = number_of(run[PROCESS_CPU])
    if "real_time" in run:
        value = number_of(run["real_time"])
        unit = MICROSECONDS.get(str(run.get("time_unit", "ns")))
        found[WALL] = None if value is None or unit is None else value * unit
    return {k: v if v is None or v >= 0 else None for k, v in found.items()}


def part_counts(row: str, run: dict[str, object]) -> dict[str, float | None]:
    """The counts of PART_COUNTS that a repetition of a parts row has, each
    a whole number of 0 or more, or None where it is something else."""
    if not row.startswith(PARTS_PREFIX):
        return {}
    found: dict[str, float | None] = {}
    for counter in PART_COUNTS:
        if counter in run:
            value = number_of(run[counter])
            whole = value is not None and value >= 0 and value == math.floor(value)
            found[counter] = value if whole else None
    return found


@functools.lru_cache(maxsize=4096)
def counters_of(row: str) -> tuple[str, ...]:
    """The counters kept of each repetition of `row`."""
    return ("ticks",) + (PARTS if row.startswith(PARTS_PREFIX) else ())


class JsonStream:
    """Reads one JSON file a value at a time, so that a file of a million
    repetitions a row never sits in memory as Python objects."""

    CHUNK = 1 << 20

    def __init__(self, f: IO[str], path: str) -> None:
        self.f = f
        self.path = path
        self.text = ""
        self.at = 0
        self.done = False

    def more(self, size: int = CHUNK) -> bool:
        chunk = self.f.read(size)
        if not chunk:
            self.done = True
            return False
        self.text = self.text[self.at:] + chunk
        self.at = 0
        return True

    def skip_space(self) -> None:
        while True:
            self.at = SPACE.match(self.text, self.at).end()  # type: ignore[union-attr]
            if self.at < len(self.text) or not self.more():
                return

    def peek(self) -> str:
        self.skip_space()
        return self.text[self.at] if self.at < len(self.text) else ""

    def expect(self, char: str) -> None:
        if self.peek() != char:
            raise Unusable(f"{self.path}: not a JSON file")
        self.at += 1

    def value(self) -> object:
        """The next JSON value, whole."""
        self.skip_space()
        while True:
            try:
                value, end = DECODER.raw_decode(self.text, self.at)
            except json.JSONDecodeError:
                # A value longer than what is read so far: as much again is
                # read, so that it is decoded a few times in all, not once
                # a chunk, and a large value takes time in proportion.
                if self.more(max(self.CHUNK, len(self.text) - self.at)):
                    continue
                raise Unusable(f"{self.path}: not a JSON file") from None
            # A number may go on in the next chunk.
            if end == len(self.text) and not self.done and self.more():
                continue
            self.at = end
            return value


class _Collected:
    """What reading a file gathers, before it is checked."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.context: object = None
        # row -> counter -> every repetition's value, in the rows' order
        # of first appearance.
        self.values: dict[str, dict[str, array.array[float]]] = {}
        # row -> the repetitions its entries say the row has, where they
        # say it.
        self.repetitions: dict[str, object] = {}
        self.aggregates = 0

    def add(self, run: object) -> None:
        """Keeps one entry of "benchmarks"."""
        path = self.path
        if not isinstance(run, dict):
            raise Unusable(f"{path}: an entry of benchmarks is not an object")
        if run.get("run_type") == "aggregate":
            self.aggregates += 1
            return
        name = run.get("run_name")
        if run.get("run_type") != "iteration" or not isinstance(name, str) or not name:
            raise Unusable(f"{path}: an entry of benchmarks has no run_name or run_type")
        row = row_name(name)
        if not row:
            raise Unusable(f"{path}: an entry of benchmarks has run_name "
                           f"{json.dumps(name)[:60]}, which names no row")
        if "repetitions" in run:
            declared = self.repetitions.setdefault(row, run["repetitions"])
            if run["repetitions"] != declared:
                raise Unusable(f"{path}: the entries of {row} say it has "
                               f"{json.dumps(declared)[:20]} and "
                               f"{json.dumps(run['repetitions'])[:20]} repetitions")
        counters = counters_of(row)
        kept = self.values.get(row)
        if kept is None:
            kept = self.values[row] = {c: array.array("d") for c in counters}
        for counter in counters:
            value = number_of(run.get(counter))
            if value is None or (value < 0 and counter != "rest"):
                raise Unusable(
                    f"{path}: a repetition of {row} has {counter} "
                    f"{json.dumps(run.get(counter))[:40]}: not a finite number"
                    + ("" if counter == "rest" else " of 0 or more")
                )
            kept[counter].append(value)
        for counter, value in optional_counters(run).items():
            if value is None:
                raise Unusable(f"{path}: a repetition of {row} has {counter} "
                               f"{json.dumps(run.get(counter))[:40]}: not a finite number "
                               f"of 0 or more")
            kept.setdefault(counter, array.array("d")).append(value)
        for counter, value in part_counts(row, run).items():
            if value is None:
                raise Unusable(f"{path}: a repetition of {row} has {counter} "
                               f"{json.dumps(run.get(counter))[:40]}: not a whole number "
                               f"of 0 or more")
            kept.setdefault(counter, array.array("d")).append(value)

    def add_all(self, entries: list[object]) -> None:
        """Keeps every entry of "benchmarks": a column at a time where the
        entries are as the bench writes them, else one by one, so that a
        fault is named as add() names it."""
        if not self._add_columns(entries):
            for run in entries:
                self.add(run)

    def _add_columns(self, entries: list[object]) -> bool:
        """add() of every entry, checked a whole column at once; False, with
        nothing kept, where any check would fail or the entries differ in
        which counters they have."""
        groups: dict[str, list[dict[str, object]]] = {}
        aggregates = 0
        for run in entries:
            if type(run) is not dict:
                return False
            kind = run.get("run_type")
            if kind == "iteration":
                name = run.get("run_name")
                row = row_name(name) if type(name) is str else ""
                if not row:
                    return False
                group = groups.get(row)
                if group is None:
                    group = groups[row] = []
                group.append(run)
            elif kind == "aggregate":
                aggregates += 1
            else:
                return False
        values: dict[str, dict[str, array.array[float]]] = {}
        repetitions: dict[str, object] = {}
        for row, group in groups.items():
            declared = [run["repetitions"] for run in group if "repetitions" in run]
            if declared:
                if not all(d == declared[0] for d in declared):
                    return False
                repetitions[row] = declared[0]
            kept = values[row] = {}
            optional = (PROCESS_CPU, "real_time") + (
                PART_COUNTS if row.startswith(PARTS_PREFIX) else ())
            for counter in counters_of(row) + optional:
                if counter in optional and counter not in group[0]:
                    if any(counter in run for run in group):
                        return False
                    continue
                column = _column(group, counter)
                if column is None or (counter != "rest" and min(column) < 0):
                    return False
                if counter in PART_COUNTS and not all(map(float.is_integer, column)):
                    return False
                if counter == "real_time":
                    units = {str(run.get("time_unit", "ns")) for run in group}
                    unit = MICROSECONDS.get(units.pop()) if len(units) == 1 else None
                    if unit is None:
                        return False
                    column = array.array("d", [v * unit for v in column])
                    counter = WALL
                kept[counter] = column
        self.values, self.repetitions, self.aggregates = values, repetitions, aggregates
        return True

    def read_whole(self, text: str) -> None:
        """Reads a whole file's text at once, with the checks of read()."""
        try:
            whole = DECODER.decode(text)
        except json.JSONDecodeError:
            raise Unusable(f"{self.path}: not a JSON file") from None
        if not isinstance(whole, dict):
            raise Unusable(f"{self.path}: not a JSON file")
        self.context = whole.get("context")
        entries = whole.get("benchmarks")
        if isinstance(entries, list):
            self.add_all(entries)

    def read(self, stream: JsonStream) -> None:
        stream.expect("{")
        keys = set()
        while stream.peek() != "}":
            key = stream.value()
            if not isinstance(key, str):
                raise Unusable(f"{self.path}: not a JSON file")
            if key in keys:
                raise DuplicateKey(key)
            keys.add(key)
            stream.expect(":")
            if key == "benchmarks" and stream.peek() == "[":
                stream.expect("[")
                while stream.peek() != "]":
                    self.add(stream.value())
                    if stream.peek() == ",":
                        stream.expect(",")
                stream.expect("]")
            elif key == "context":
                self.context = stream.value()
            else:
                stream.value()
            if stream.peek() == ",":
                stream.expect(",")
        stream.expect("}")
        if stream.peek() != "":
            raise Unusable(f"{self.path}: not a JSON file")


def _entry_words(path: str, context: dict[str, object], key: str) -> list[str] | None:
    """The words of a context entry that lists things separated by single
    spaces, or None where the file has no such entry."""
    if key not in context:
        return None
    text = context[key]
    words = text.split(" ") if isinstance(text, str) else []
    if not isinstance(text, str) or (text and not all(words)):
        raise Unusable(f"{path}: the context entry {key} {json.dumps(text)[:60]} "
                       f"is not a list separated by single spaces")
    return words if text else []


def _absent(path: str, key: str, row: str) -> Unusable:
    return Unusable(f"{path}: the context entry {key} names {row}, "
                    f"of which the file has no repetition")


def declared_rows(path: str, context: dict[str, object], present: list[str]) -> list[str]:
    """The rows in the order the bench shows them: its context entry
    `rows`, then any row that the entry leaves out."""
    words = _entry_words(path, context, "rows")
    if words is None:
        # A file without the entry (an older bench's, or one made by hand):
        # the rows in the order of their first repetition.
        return present
    if not words or len(set(words)) != len(words):
        raise Unusable(f"{path}: the context entry rows {json.dumps(context['rows'])[:60]} "
                       f"does not name each row once")
    for row in words:
        if row not in present:
            raise _absent(path, "rows", row)
    return words + [row for row in present if row not in words]


def declared_levers(path: str, context: dict[str, object],
                    values: dict[str, dict[str, array.array[float]]],
                    rows: list[str]) -> list[Lever]:
    """The levers as the bench declares them in its context entry `levers`,
    ROW:BASE:COUNTER entries each checked against the file."""
    words = _entry_words(path, context, "levers")
    if words is None:
        return inferred_levers(rows)
    levers = []
    for word in words:
        parts = word.split(":")
        if len(parts) != 3 or not all(parts):
            raise Unusable(f"{path}: the context entry levers has {json.dumps(word)[:60]}, "
                           f"not ROW:BASE:COUNTER")
        lever = Lever(*parts)
        for row in (lever.row, lever.base):
            if row not in values:
                raise _absent(path, "levers", row)
            if lever.counter not in values[row]:
                raise Unusable(f"{path}: the context entry levers compares {lever.counter} "
                               f"of {row}, which has no such counter")
        levers.append(lever)
    return levers


def inferred_levers(rows: list[str]) -> list[Lever]:
    """The levers of a file without the context entry `levers`: an older
    bench's, or one made by hand. They are what the bench had before it
    declared them: every process row but the terminal's against the plain
    pipe, every parts row against the default one, on the part a stack
    changes."""
    levers = []
    for row in rows:
        if row.startswith("program_run/") and row not in ("program_run/pipe", "program_run/tty"):
            levers.append(Lever(row, "program_run/pipe", "ticks"))
        elif row.startswith(PARTS_PREFIX) and row != "program_parts/default":
            levers.append(Lever(row, "program_parts/default", "creator"))
    return levers


@dataclass(frozen=True, eq=False)
class Results:
    """One results file of thread-start-bench: its context, every
    repetition of every row (and of each part, for the parts rows), the
    rows in the bench's order and the levers among them. Each is itself
    only: a file given twice is read twice, and counted twice."""

    path: str
    context: dict[str, object]
    values: dict[str, dict[str, array.array[float]]]
    rows: tuple[str, ...]
    levers: tuple[Lever, ...]

    @classmethod
    def read(cls, path: str) -> Results:
        """Reads and checks the file at `path`; Unusable names what is
        wrong with it."""
        collected = _Collected(path)
        try:
            status = os.stat(path)
            if not stat.S_ISREG(status.st_mode):
                raise Unusable(f"{path}: not a regular file")
            if status.st_size > MOST_BYTES:
                raise Unusable(f"{path}: larger than {MOST_BYTES >> 20} MiB")
            if status.st_size <= WHOLE_BYTES:
                # Bytes decoded at once: a text stream's newline handling
                # costs a quarter of the reading, and JSON needs none.
                with open(path, "rb") as f:
                    # As much as stat said, not the bound: a buffer of the
                    # bound's size costs more than the reading.
                    data = f.read(status.st_size + 1)
                    if len(data) > status.st_size:
                        data += f.read(WHOLE_BYTES + 1 - len(data))
                    collected.read_whole(data.decode("utf-8"))
            else:
                with open(path, encoding="utf-8") as f:
                    collected.read(JsonStream(f, path))
        except OSError as error:
            raise Unusable(f"{path}: {error.strerror}") from None
        except UnicodeDecodeError:
            raise Unusable(f"{path}: not a JSON file") from None
        except RecursionError:
            raise Unusable(f"{path}: nested too deeply to be the bench's JSON") from None
        except DuplicateKey as error:
            raise Unusable(f"{path}: an object has the key {json.dumps(error.key)[:60]} "
                           f"twice") from None
        except ValueError as error:
            # A number with more digits than Python reads.
            raise Unusable(f"{path}: not the bench's JSON ({error})") from None
        context = collected.context
        if not isinstance(context, dict) or "cold_helper" not in context:
            raise Unusable(f"{path}: not the JSON output of thread-start-bench")
        values = collected.values
        if not values:
            if collected.aggregates:
                raise Unusable(
                    f"{path}: aggregates only: the console's JSON "
                    f"(--benchmark_format=json), not the file of --benchmark_out"
                )
            raise Unusable(f"{path}: holds no repetitions")
        for row, counters in values.items():
            if len(counters["ticks"]) < 2:
                raise Unusable(f"{path}: {row} has {len(counters['ticks'])} repetition; "
                               f"statistics need at least 2")
            for counter in OPTIONAL_COUNTERS + PART_COUNTS:
                if counter in counters and len(counters[counter]) != len(counters["ticks"]):
                    raise Unusable(f"{path}: some repetitions of {row} have {counter}, "
                                   f"others not")
            declared = collected.repetitions.get(row, len(counters["ticks"]))
            if declared != len(counters["ticks"]):
                raise Unusable(f"{path}: {row} has {len(counters['ticks'])} repetitions, "
                               f"where its entries say {json.dumps(declared)[:20]}")
        rows = declared_rows(path, context, list(values))
        levers = declared_levers(path, context, values, rows)
        made = cls(path, context, values, tuple(rows), tuple(levers))
        made.shares  # a run in rounds whose counts are not the rounds' is refused
        return made

    @property
    def shares(self) -> dict[str, float]:
        """Each row's share of its intervals' error: 1 but for a run made
        in rounds (rounds.py)."""
        return row_shares(self.path, self.context,
                          {row: len(counters["ticks"]) for row, counters in self.values.items()})

    def share(self, row: str) -> float:
        return self.shares.get(row, 1.0)

    @property
    def ticks(self) -> dict[str, array.array[float]]:
        """Each row's ticks, every repetition."""
        return {row: counters["ticks"] for row, counters in self.values.items()}

    @property
    def name(self) -> str:
        """The file's label, or else its file name."""
        label = self.context.get("label")
        return str(label) if label else os.path.basename(self.path)


def results_digest(r: Results) -> bytes:
    """What identifies a run's results: its context (with its date) and
    every value of every row, in the file's order. Copies of one run share
    it; two runs practically never do, as each has hundreds of values that
    vary."""
    digest = hashlib.sha256(json.dumps(r.context, sort_keys=True).encode())
    for row, counters in r.values.items():
        digest.update(json.dumps(row).encode())
        for counter in sorted(counters):
            digest.update(json.dumps(counter).encode())
            digest.update(counters[counter].tobytes())
    return digest.digest()


def refuse_duplicates(results: list[Results]) -> None:
    """Refuses a run given twice, so that no run counts twice: the same
    file under two names, or two files with the same context and
    results."""
    files: dict[tuple[int, int], Results] = {}
    digests: dict[bytes, Results] = {}
    for r in results:
        try:
            status = os.stat(r.path)
            seen = files.setdefault((status.st_dev, status.st_ino), r)
        except OSError:
            seen = r
        if seen is not r:
            raise Unusable(f"{seen.path} and {r.path} are the same file: each run may be "
                           f"given once")
        seen = digests.setdefault(results_digest(r), r)
        if seen is not r:
            raise Unusable(f"{seen.path} and {r.path} hold the same results: each run may be "
                           f"given once")


class Group(NamedTuple):
    """A side of a comparison, or a host of a fleet: its name and files."""

    name: str
    files: list[Results]


def rows_of(results: list[Results]) -> list[str]:
    """The rows of several files in one order: merged_rows() of theirs."""
    return merged_rows([r.rows for r in results])


def merged_rows(orders: Sequence[Sequence[str]]) -> list[str]:
    """Several orders of rows made one: each in its order, a row that the
    ones before lack placed before the next of its rows that they have."""
    merged: list[str] = []
    for rows in orders:
        known = set(merged)
        # For each row, the first of its later rows that the orders before
        # have: what a new row is placed before. One pass from the end, so
        # that thousands of rows take no time.
        before: list[str | None] = [None] * len(rows)
        following: str | None = None
        for i in range(len(rows) - 1, -1, -1):
            before[i] = following
            if rows[i] in known:
                following = rows[i]
        for row, place in zip(rows, before):
            if row not in known:
                merged.insert(len(merged) if place is None else merged.index(place), row)
    return merged


# Files read by several processes where there are at least this many.
FILES_FOR_WORKERS = 8
Read = TypeVar("Read")


def read_all(paths: Sequence[str], read: Callable[[str], Read]) -> list[Read]:
    """read() of each file, in order, by a process per processor (4 at
    most) where there are many. A file that cannot be used is named as
    when they are read one at a time: the first such in order."""
    workers = min(len(os.sched_getaffinity(0)), 4)
    if workers < 2 or len(paths) < FILES_FOR_WORKERS:
        return [read(path) for path in paths]
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    try:
        # SIGINT is the caller's: the workers end with it, quietly.
        pool = ProcessPoolExecutor(workers, initializer=signal.signal,
                                   initargs=(signal.SIGINT, signal.SIG_IGN))
    except (ImportError, NotImplementedError, OSError):
        # No semaphores here (no /dev/shm, say): read one at a time.
        return [read(path) for path in paths]
    try:
        with pool:
            return list(pool.map(read, paths, chunksize=4))
    except BrokenProcessPool:
        # A worker was killed (by the kernel, short of memory): the files
        # are read here instead, one at a time.
        return [read(path) for path in paths]
