"""The results store: the runs of many results files kept in one SQLite
database, so that runs can be compared over time and across a fleet.

A run is recognised by results_digest (its context, date included, and
every value of every row): the same run added twice, from one path or two,
is stored once. Each call adds its runs in one transaction, after every
file has been read and checked: all of them or, where the disk fills or
the store is refused, none. Writers wait for each other up to BUSY_SECONDS.
A store is recognised by its SQLite header: the application ID below and
a schema version this module knows; anything else is refused before it is
opened, and so left as it was. So is a store of more than one hard link: a
writer killed through one name leaves its journal beside that name only,
and a writer through another would not roll it back. Every value read is
checked as a results file's are: a store that does not hold is refused in
one line, never read as if it did."""

from __future__ import annotations

import array
import datetime as dt
import json
import math
import os
import re
import shlex
import sqlite3
import stat
import sys
import secrets
import zlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple, Sequence
from urllib.parse import quote

from .errors import PROG, Lost, Unusable
from .reader import (WALL, DuplicateKey, Lever, Results, results_digest,
                     unique_keys)

if TYPE_CHECKING:
    from .fleet import Run


@dataclass(frozen=True)
class StoredRun:
    """One run as the store keeps it, for the reports over time: what
    identifies it, where it came from, its context, and each row's median
    of ticks."""

    # What recognises the run: the same run added twice has one key.
    key: str
    # The results file it was added from.
    path: str
    host: str
    # The bench's --label, or "" where it had none.
    label: str
    # The context's date, as the bench wrote it (ISO 8601 with its offset).
    date: str
    context: dict[str, object]
    # Each row's median of ticks over the run's repetitions.
    medians: dict[str, float]


# "TSAS" (thread-start-analyze store) in the header's application ID.
APPLICATION_ID = 0x54534153
# The schema written; older ones are brought up to it (MIGRATIONS).
SCHEMA = 4
# The oldest schema read as it is where the store cannot be written: it
# has every column read; what it lacks is made from the repetitions.
READ_AS_IT_IS = 2
# The first schema whose errors are those the fleet gives the same files:
# an older store's, where it cannot be written, are made from repetitions.
ERRORS_AS_FILES = 4
# How long a writer waits for another to finish.
BUSY_SECONDS = 120.0
PAGE_SIZE = 1024
SQLITE_HEADER = b"SQLite format 3\x00"
# The percentiles kept of every counter of every row, besides the median:
# those the reports show (nearest rank, as the bench computes them).
PERCENTILES = (10.0, 25.0, 75.0, 90.0, 99.0)
# Decimal scales at which a counter's values are tried as 32-bit integers,
# which compress to half or less; kept only where every value comes back
# bit for bit.
SCALES = (1, 10, 100, 1000)

TABLES = """
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    key BLOB NOT NULL UNIQUE,
    path TEXT NOT NULL,
    host TEXT NOT NULL,
    label TEXT NOT NULL,
    date TEXT NOT NULL,
    context TEXT NOT NULL,
    epoch REAL
);
CREATE INDEX runs_host ON runs (host, epoch);
CREATE INDEX runs_label ON runs (label);
CREATE INDEX runs_epoch ON runs (epoch);
-- Apart, so that a query of the runs and their medians reads no repetition.
CREATE TABLE repetitions (
    run INTEGER PRIMARY KEY REFERENCES runs (id),
    data BLOB NOT NULL
);
CREATE TABLE names (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE counters (
    run INTEGER NOT NULL REFERENCES runs (id),
    counter INTEGER NOT NULL REFERENCES names (id),
    row INTEGER NOT NULL REFERENCES names (id),
    position INTEGER NOT NULL,
    repetitions INTEGER NOT NULL,
    median REAL NOT NULL,
    p10 REAL NOT NULL, p25 REAL NOT NULL, p75 REAL NOT NULL,
    p90 REAL NOT NULL, p99 REAL NOT NULL,
    PRIMARY KEY (run, counter, row)
) WITHOUT ROWID;
-- The standard error of each run's median of each row's ticks, from the
-- order statistics of its repetitions: what a fleet reads besides the medians.
CREATE TABLE errors (
    run INTEGER NOT NULL REFERENCES runs (id),
    row INTEGER NOT NULL REFERENCES names (id),
    error REAL NOT NULL,
    PRIMARY KEY (run, row)
) WITHOUT ROWID;
"""

# What brings a store of each older schema to the next: schema 1 had no
# epoch, and compared the dates as text, which is wrong across offsets.
MIGRATIONS = {
    1: """
ALTER TABLE runs ADD COLUMN epoch REAL;
UPDATE runs SET epoch = utc_epoch(date);
DROP INDEX runs_host;
CREATE INDEX runs_host ON runs (host, epoch);
CREATE INDEX runs_epoch ON runs (epoch);
""",
    # Schema 2 had no errors: they are made from each run's repetitions
    # (fill_errors).
    2: """
CREATE TABLE errors (
    run INTEGER NOT NULL REFERENCES runs (id),
    row INTEGER NOT NULL REFERENCES names (id),
    error REAL NOT NULL,
    PRIMARY KEY (run, row)
) WITHOUT ROWID;
""",
    # Schema 3's errors came from a bootstrap of each median, which took 14
    # ms a run to add: they are made again from the repetitions.
    3: "DELETE FROM errors",
}


class AddReport(NamedTuple):
    added: int
    already: int


class Record(NamedTuple):
    """A run made ready to be stored: what a worker process hands back."""

    key: bytes
    path: str
    host: str
    label: str
    date: str
    epoch: float | None
    context: str
    repetitions: bytes
    # (row, counter, repetitions, [median, p10, p25, p75, p90, p99])
    counters: list[tuple[str, str, int, list[float]]]
    # (row, the standard error of its median of ticks)
    errors: list[tuple[str, float]]


def utc_epoch(text: object) -> float | None:
    """The seconds since 1970 UTC of an ISO 8601 date or timestamp; one
    without an offset is taken as UTC. None where it is neither."""
    if not isinstance(text, str):
        return None
    try:
        when = dt.datetime.fromisoformat(text)
    except ValueError:
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=dt.timezone.utc)
    return when.timestamp()


def bound(option: str, text: str, end: bool) -> tuple[float, bool]:
    """--since or --until: the epoch and whether it is included. A date
    alone stands for the whole day: --until 2026-12-01 includes that day."""
    try:
        day = dt.date.fromisoformat(text)
    except ValueError:
        day = None
    if day is not None:
        # Any form of a day alone (2026-12-01, 20261201) is the whole day;
        # its end counted in seconds, since the day after 9999-12-31 is no date.
        start = dt.datetime(day.year, day.month, day.day, tzinfo=dt.timezone.utc).timestamp()
        return (start + 86400.0 if end else start), not end
    epoch = utc_epoch(text)
    if epoch is None:
        raise Unusable(f"{option} {text!r}: not a date (2026-12-01) or an ISO 8601 timestamp "
                       f"(2026-12-01T08:00:00+01:00)")
    return epoch, True


def _little(values: array.array[float] | array.array[int]) -> bytes:
    if sys.byteorder != "little":
        values = array.array(values.typecode, values)
        values.byteswap()
    return values.tobytes()


def _shuffled(data: bytes, width: int) -> bytes:
    """Each value's first bytes, then their second bytes...: bytes that
    vary little come together, and compress."""
    import numpy as np

    return np.frombuffer(data, np.uint8).reshape(-1, width).T.tobytes()


def _unshuffled(data: bytes, width: int) -> bytes:
    import numpy as np

    return np.frombuffer(data, np.uint8).reshape(width, -1).T.tobytes()


def _as_integers(values: array.array[float]) -> tuple[int, bytes] | None:
    """The scale and 32-bit integers of SCALES that give back every value
    bit for bit, or None."""
    import numpy as np

    floats = np.frombuffer(values, np.float64)
    for scale in SCALES:
        with np.errstate(over="ignore", invalid="ignore"):
            scaled = np.rint(floats * scale)
        if len(floats) and np.abs(scaled).max() >= 2**31:
            continue
        integers = scaled.astype(np.int32)
        if (integers / scale).tobytes() == floats.tobytes():
            return scale, _little(array.array("i", integers.tobytes()))
    return None


# Counters whose repetitions are not kept, only their medians and
# percentiles: the wall time of each repetition is a double with every
# digit significant, which does not compress and would take half of a
# run's room.
UNKEPT = (WALL,)


def encode(r: Results) -> bytes:
    """The rows' order, the levers and every repetition of every counter of
    every row but UNKEPT, in the file's order, compressed: a JSON head of
    the rows, levers and layout, (row, counter, scale, count) a counter,
    then the values, integers where a scale gives them back exactly."""
    layout: list[tuple[str, str, int, int]] = []
    chunks = []
    for row, counters in r.values.items():
        for counter, series in counters.items():
            if counter in UNKEPT:
                continue
            integers = _as_integers(series)
            if integers is None:
                layout.append((row, counter, 0, len(series)))
                chunks.append(_shuffled(_little(series), 8))
            else:
                layout.append((row, counter, integers[0], len(series)))
                chunks.append(_shuffled(integers[1], 4))
    head = json.dumps({"rows": r.rows, "levers": r.levers, "layout": layout}).encode()
    return zlib.compress(len(head).to_bytes(4, "little") + head + b"".join(chunks), 6)


def decode(blob: bytes) -> tuple[tuple[str, ...], tuple[Lever, ...],
                                 dict[str, dict[str, array.array[float]]]]:
    """The rows, levers and values that encode() kept."""
    import numpy as np

    data = zlib.decompress(blob)
    size = int.from_bytes(data[:4], "little")
    at = 4 + size
    head = json.loads(data[4:at])
    if not isinstance(head, dict) or not _strings(head.get("rows"), 0):
        raise ValueError("no list of rows")
    levers, layout = head.get("levers"), head.get("layout")
    if not isinstance(levers, list) or not all(_strings(lever, 3) for lever in levers):
        raise ValueError("levers that are not (row, base, counter)")
    if not isinstance(layout, list):
        raise ValueError("no layout")
    values: dict[str, dict[str, array.array[float]]] = {}
    for entry in layout:
        if (not isinstance(entry, list) or len(entry) != 4 or not _strings(entry[:2], 2)
                or entry[2] not in (0, *SCALES) or type(entry[3]) is not int or entry[3] < 1):
            raise ValueError(f"a layout entry {json.dumps(entry)[:60]}")
        row, counter, scale, count = entry
        width = 4 if scale else 8
        if at + width * count > len(data) or counter in values.get(row, {}):
            raise ValueError(f"the layout of {row} {counter} does not fit")
        raw = _unshuffled(data[at:at + width * count], width)
        at += width * count
        if scale:
            floats = np.frombuffer(raw, "<i4") / scale
        else:
            floats = np.frombuffer(raw, "<f8").astype(np.float64)
        if not np.isfinite(floats).all():
            raise ValueError(f"a value of {row} {counter} that is no number")
        values.setdefault(row, {})[counter] = array.array("d", floats.tobytes())
    if at != len(data):
        raise ValueError("bytes beyond the layout")
    for row in head["rows"]:
        counts = {len(series) for series in values.get(row, {}).values()}
        if "ticks" not in values.get(row, {}) or len(counts) != 1:
            raise ValueError(f"the row {row} without ticks, or with counters that disagree")
    if set(values) != set(head["rows"]):
        raise ValueError("rows that are not the layout's")
    return (tuple(head["rows"]), tuple(Lever(*lever) for lever in levers), values)


def _strings(value: object, length: int) -> bool:
    """Whether `value` is a list of strings, of `length` of them unless 0."""
    return (isinstance(value, list) and all(isinstance(v, str) for v in value)
            and (not length or len(value) == length))


def _text(path: str) -> str:
    """A path as SQLite can keep it: bytes that are not UTF-8 replaced."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def prepare(r: Results) -> Record:
    """What the store keeps of one run."""
    import numpy as np

    from .fleet import median_error

    named = [(row, counter, values) for row, series in r.values.items()
             for counter, values in series.items()]
    # The counters of one length at once, as one array: numpy's median and
    # its nearest-rank percentiles (statistics.percentiles) along each.
    figures: list[list[float]] = [[] for _ in named]
    for length in {len(values) for _, _, values in named}:
        which = [i for i, (_, _, values) in enumerate(named) if len(values) == length]
        table = np.array([named[i][2] for i in which], dtype=np.float64)
        medians = np.median(table, axis=1)
        ranks = np.percentile(table, PERCENTILES, axis=1, method="inverted_cdf")
        for place, i in enumerate(which):
            figures[i] = [float(medians[place]), *(float(p) for p in ranks[:, place])]
    counters = [(row, counter, len(values), figures[i]) for i, (row, counter, values) in enumerate(named)]
    context = r.context
    date = context.get("date")
    label = context.get("label")
    return Record(
        key=results_digest(r),
        path=_text(os.path.abspath(r.path)),
        host=str(context.get("host_name", "")),
        label=str(label) if label else "",
        date=date if isinstance(date, str) else "",
        epoch=utc_epoch(date),
        context=json.dumps(context, separators=(",", ":")),
        repetitions=encode(r),
        counters=counters,
        errors=[(row, median_error(ticks)) for row, ticks in r.ticks.items()],
    )


def read_file(path: str) -> Record:
    """Reads, checks and prepares one results file: a worker's task."""
    return prepare(Results.read(path))


def recognised(path: str) -> bool:
    """Whether `path` is a store (True) or absent (False); anything else is
    refused, and only its first bytes read, so that it is left as it was."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return False
    except OSError as error:
        raise Unusable(f"{path}: {error.strerror}") from None
    if stat.S_ISDIR(status.st_mode):
        raise Unusable(f"{path}: a directory, not a results store")
    if not stat.S_ISREG(status.st_mode):
        raise Unusable(f"{path}: not a regular file, so not a results store")
    # A store being made is linked in place from a file of its own for a
    # moment: that name is not counted.
    links = status.st_nlink - sum(1 for _, _, ino in making(path) if ino == status.st_ino)
    if links > 1:
        raise Unusable(f"{path}: has {links} hard links, with which a killed writer's "
                       f"journal would be lost; give the store a file of its own")
    try:
        # Non-blocking, in case a FIFO took the file's place.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            header = os.read(fd, 100)
        finally:
            os.close(fd)
    except OSError as error:
        raise Unusable(f"{path}: {error.strerror}") from None
    if not header:
        raise Unusable(f"{path}: an empty file, not a results store")
    if len(header) < 100 or not header.startswith(SQLITE_HEADER):
        raise Unusable(f"{path}: not a results store (not an SQLite database)")
    if int.from_bytes(header[68:72], "big") != APPLICATION_ID:
        raise Unusable(f"{path}: an SQLite database, but not a results store of {PROG}")
    too_new(path, int.from_bytes(header[60:64], "big", signed=True))
    return True


def too_new(path: str, version: int) -> None:
    if version < 1:
        raise Unusable(f"{path}: not a sound results store (of schema {version}, which no "
                       f"{PROG} writes)")
    if version > SCHEMA:
        raise Unusable(f"{path}: a results store of schema {version}; this {PROG} reads "
                       f"schemas 1 to {SCHEMA}: use a newer one")


def failed(path: str, error: sqlite3.Error, doing: str) -> Exception:
    """The one-line error of an SQLite error: Unusable where the file is
    not a sound database, else Lost (a write that failed)."""
    name = getattr(error, "sqlite_errorname", "")
    reason = str(error).split("\n")[0]
    if name in ("SQLITE_CORRUPT", "SQLITE_NOTADB") or name.startswith("SQLITE_CORRUPT_"):
        return Unusable(f"{path}: not a sound results store ({reason})")
    return Lost(f"{path}: {doing}: {reason}")


def connect(path: str, mode: str) -> sqlite3.Connection:
    """An open store that is never made by opening it: mode "ro" or "rw"."""
    con = sqlite3.connect(f"file:{quote(os.path.abspath(path))}?mode={mode}", uri=True,
                          timeout=BUSY_SECONDS, isolation_level=None)
    con.create_function("utc_epoch", 1, utc_epoch, deterministic=True)
    return con


def up_to_date(path: str, con: sqlite3.Connection) -> None:
    """Checks the store within a transaction begun, and brings an older
    schema to SCHEMA."""
    if con.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
        raise Unusable(f"{path}: an SQLite database, but not a results store of {PROG}")
    version = con.execute("PRAGMA user_version").fetchone()[0]
    too_new(path, version)
    older = version < SCHEMA
    while version < SCHEMA:
        for statement in MIGRATIONS[version].split(";"):
            if statement.strip():
                con.execute(statement)
        version += 1
        con.execute(f"PRAGMA user_version = {version}")
    if older:
        fill_errors(con)


def fill_errors(con: sqlite3.Connection) -> None:
    """The errors of every stored run, made from its repetitions one run at
    a time, so that memory does not grow with the store. A run whose
    repetitions cannot be read is left without: the fleet refuses it."""
    names = {str(n): int(i) for n, i in con.execute("SELECT name, id FROM names")}
    for (run,) in con.execute("SELECT run FROM repetitions").fetchall():
        [(data,)] = con.execute("SELECT data FROM repetitions WHERE run = ?", (run,))
        try:
            errors = errors_of(data)
        except (ValueError, TypeError, KeyError, zlib.error):
            continue
        con.executemany("INSERT INTO errors VALUES (?, ?, ?)",
                        [(run, names[row], error) for row, error in errors.items()
                         if row in names])


def errors_of(repetitions: object) -> dict[str, float]:
    """Each row's standard error of its median, from a run's repetitions as
    stored."""
    from .fleet import median_error

    if not isinstance(repetitions, bytes):
        raise TypeError("not a blob")
    _, _, values = decode(repetitions)
    return {row: median_error(counters["ticks"]) for row, counters in values.items()}


# The name of a store being made (create): .NAME.PID.HEX.new, and its journal.
MAKING = r"\.{}\.([1-9][0-9]{{0,9}})\.[0-9a-f]{{8}}\.new(-journal)?"


def making(path: str) -> list[tuple[str, int, int]]:
    """The files of stores being made as `path` beside it: (path, the
    process's ID, inode)."""
    folder = os.path.dirname(path) or "."
    pattern = re.compile(MAKING.format(re.escape(os.path.basename(path))))
    found = []
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                matched = pattern.fullmatch(entry.name)
                if matched:
                    found.append((os.path.join(folder, entry.name), int(matched[1]),
                                  entry.inode()))
    except OSError:
        pass
    return found


def clear_leftovers(path: str) -> None:
    """Removes what a writer killed while making the store left: the files
    of the pattern MAKING whose process is gone."""
    for leftover, pid, _ in making(path):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            try:
                os.unlink(leftover)
            except OSError:
                pass
        except (OSError, OverflowError):
            pass


def create(path: str) -> None:
    """Makes an empty store at `path`: whole in a file of its own beside
    it, then linked in place, so that a store is never seen half made and
    one made meanwhile by another writer is kept."""
    made = os.path.join(os.path.dirname(path),
                        f".{os.path.basename(path)}.{os.getpid()}.{secrets.token_hex(4)}.new")
    try:
        # Made as any new file is, with the permissions the umask leaves.
        os.close(os.open(made, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except OSError as error:
        raise Lost(f"{path}: cannot make the store: {error.strerror}") from None
    try:
        con = sqlite3.connect(made, isolation_level=None)
        try:
            # Small pages: the last page of each run's repetitions is half
            # empty on average.
            con.execute(f"PRAGMA page_size = {PAGE_SIZE}")
            con.execute("BEGIN")
            for statement in TABLES.split(";"):
                if statement.strip():
                    con.execute(statement)
            con.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            con.execute(f"PRAGMA user_version = {SCHEMA}")
            con.execute("COMMIT")
        finally:
            con.close()
        os.link(made, path)
    except FileExistsError:
        pass
    except sqlite3.Error as error:
        raise failed(path, error, "cannot make the store") from None
    except OSError as error:
        raise Lost(f"{path}: cannot make the store: {error.strerror}") from None
    finally:
        for leftover in (made, made + "-journal"):
            try:
                os.unlink(leftover)
            except OSError:
                pass


def add_files(path: str, results: list[Results]) -> AddReport:
    """Adds the runs of `results` to the store at `path`, made if absent."""
    return add_records(path, [prepare(r) for r in results])


def add_records(path: str, records: Sequence[Record]) -> AddReport:
    clear_leftovers(path)
    if not recognised(path):
        create(path)
        recognised(path)
    try:
        con = connect(path, "rw")
    except sqlite3.Error as error:
        raise failed(path, error, "cannot open the store") from None
    added = already = 0
    try:
        con.execute("BEGIN IMMEDIATE")
        up_to_date(path, con)
        names = {str(n): int(i) for n, i in con.execute("SELECT name, id FROM names")}

        def name_id(name: str) -> int:
            if name not in names:
                cursor = con.execute("INSERT INTO names (name) VALUES (?)", (name,))
                names[name] = int(cursor.lastrowid or 0)
            return names[name]

        for record in records:
            cursor = con.execute(
                "INSERT OR IGNORE INTO runs (key, path, host, label, date, context, epoch) "
                "VALUES (?, ?, ?, ?, ?, ?, ?)",
                (record.key, record.path, record.host, record.label, record.date,
                 record.context, record.epoch))
            if cursor.rowcount != 1:
                already += 1
                continue
            added += 1
            run = cursor.lastrowid
            con.execute("INSERT INTO repetitions VALUES (?, ?)", (run, record.repetitions))
            con.executemany(
                "INSERT INTO counters VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [(run, name_id(counter), name_id(row), position, count, *figures)
                 for position, (row, counter, count, figures) in enumerate(record.counters)])
            con.executemany("INSERT INTO errors VALUES (?, ?, ?)",
                            [(run, name_id(row), error) for row, error in record.errors])
        con.execute("COMMIT")
    except sqlite3.Error as error:
        raise failed(path, error, "cannot add the runs") from None
    finally:
        # Whatever was not committed is rolled back.
        con.close()
    return AddReport(added, already)


def _open_for_reading(path: str) -> sqlite3.Connection:
    if not recognised(path):
        raise Unusable(f"{path}: No such file or directory")
    try:
        con = connect(path, "ro")
        try:
            version = con.execute("PRAGMA user_version").fetchone()[0]
        except sqlite3.Error as error:
            if getattr(error, "sqlite_errorname", "") != "SQLITE_READONLY_ROLLBACK":
                raise
            con.close()
            roll_back(path)
            con = connect(path, "ro")
            version = con.execute("PRAGMA user_version").fetchone()[0]
        if version < SCHEMA:
            # An older store is brought up to date first, once; where it
            # cannot be written, one of READ_AS_IT_IS is read as it is.
            con.close()
            try:
                con = connect(path, "rw")
                con.execute("BEGIN IMMEDIATE")
                up_to_date(path, con)
                con.execute("COMMIT")
            except sqlite3.OperationalError as error:
                con.close()
                if version < READ_AS_IT_IS or getattr(error, "sqlite_errorname", "") not in (
                        "SQLITE_READONLY", "SQLITE_CANTOPEN", "SQLITE_READONLY_DIRECTORY"):
                    raise
                con = connect(path, "ro")
        return con
    except sqlite3.Error as error:
        raise failed(path, error, "cannot read the store (an older schema is updated "
                                  "in place, which needs it writable)") from None


def roll_back(path: str) -> None:
    """Rolls back the journal of a writer killed before it committed, as
    the next writer would: SQLite does so on opening the store writable."""
    try:
        con = connect(path, "rw")
        try:
            con.execute("BEGIN IMMEDIATE")
            con.execute("COMMIT")
        finally:
            con.close()
    except sqlite3.Error:
        # Not readable as it is: the journal holds what the store's pages
        # were, and only a writer may put them back.
        raise Unusable(f"{path}: a writer was killed before it committed, and its journal "
                       f"must be rolled back by one who can write the store and its folder: "
                       f"run {PROG} history --store {shlex.quote(path)} once as such a "
                       f"user") from None


def _checked_run(path: str, found: tuple[object, ...]) -> tuple[str, str, str, str,
                                                                 dict[str, object]]:
    """A stored run's path, host, label, date and context, checked: each
    stored as text, the context a results file's, and the columns what it
    gives. `found` is (id, key, path, host, label, date, context, epoch,
    the columns' types), the texts as bytes."""
    run, key, *texts, epoch, types = found
    name = (f"{path}: not a sound results store: the run {run}"
            + (f" of {bytes(texts[0]).decode('utf-8', 'replace')!r}"
               if isinstance(texts[0], bytes) else ""))
    if types != b"blob text text text text text" or not isinstance(key, bytes) or len(key) != 32:
        kinds = types.decode() if isinstance(types, bytes) else str(types)
        raise Unusable(f"{name}: columns of types {kinds}, not a key and text")
    try:
        origin, host, label, date, context = (bytes(t).decode() for t in texts)  # type: ignore
        loaded = json.loads(context, object_pairs_hook=unique_keys)
    except ValueError as error:
        raise Unusable(f"{name}: its context is not JSON ({str(error)[:60]})") from None
    except DuplicateKey as error:
        raise Unusable(f"{name}: its context names {error.key} twice") from None
    if not isinstance(loaded, dict) or "cold_helper" not in loaded:
        raise Unusable(f"{name}: its context is not a results file's")
    said = loaded.get("label")
    said_date = loaded.get("date")
    if (host, label, date) != (str(loaded.get("host_name", "")), str(said) if said else "",
                               said_date if isinstance(said_date, str) else ""):
        raise Unusable(f"{name}: its host, label or date is not its context's")
    if not (epoch is None or isinstance(epoch, float)) or epoch != utc_epoch(date):
        shown = epoch.decode("utf-8", "replace") if isinstance(epoch, bytes) else str(epoch)
        raise Unusable(f"{name}: its epoch {shown[:30]} is not its date's")
    return origin, host, label, date, loaded


# The columns _checked_run checks, of runs r.
RUN = ("r.id, r.key, r.path, r.host, r.label, r.date, r.context, r.epoch, typeof(r.key) || ' ' "
       "|| typeof(r.path) || ' ' || typeof(r.host) || ' ' || typeof(r.label) || ' ' || "
       "typeof(r.date) || ' ' || typeof(r.context)")


def _where(hosts: Sequence[str], labels: Sequence[str], since: str | None,
           until: str | None) -> tuple[str, list[object]]:
    clauses = []
    values: list[object] = []
    for column, wanted in (("host", hosts), ("label", labels)):
        if wanted:
            clauses.append(f"r.{column} IN ({', '.join('?' * len(wanted))})")
            values.extend(wanted)
    if since is not None:
        epoch, _ = bound("--since", since, end=False)
        clauses.append("r.epoch >= ?")
        values.append(epoch)
    if until is not None:
        epoch, included = bound("--until", until, end=True)
        clauses.append("r.epoch <= ?" if included else "r.epoch < ?")
        values.append(epoch)
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", values


# Runs of one instant in the order they were added: that of the files
# given, so that a fleet from the store is the fleet from its files.
ORDER = " ORDER BY r.host, r.epoch, r.date, r.id"


def stored_runs(path: str, hosts: Sequence[str] = (), rows: Sequence[str] = (),
                labels: Sequence[str] = (), since: str | None = None,
                until: str | None = None) -> list[StoredRun]:
    """The stored runs, each with its rows' medians of ticks, ordered by
    host, then date, then key; `rows` keeps only those rows, and runs with
    one of them at least."""
    where, values = _where(hosts, labels, since, until)
    con = _open_for_reading(path)
    try:
        names = {i: n for i, n in con.execute("SELECT id, name FROM names")}
        ticks = next((i for i, n in names.items() if n == "ticks"), -1)
        # The runs, then their medians apart: sorting the runs with their
        # contexts once, not once a row, is what keeps a year of a fleet
        # within seconds.
        runs: dict[int, StoredRun] = {}
        # Texts as bytes, so that a store's text that is not UTF-8 is refused as a run's.
        con.text_factory = bytes
        for found in con.execute(f"SELECT {RUN} FROM runs r" + where + ORDER, values):
            runs[found[0]] = StoredRun(found[1].hex(), *_checked_run(path, found), {})
        con.text_factory = str
        wanted = set(rows)
        chosen = f" AND c.run IN (SELECT r.id FROM runs r{where})" if where else ""
        for run, row, median in con.execute(
                "SELECT c.run, c.row, c.median FROM counters c WHERE c.counter = ?" + chosen
                + " ORDER BY c.run, c.position", [ticks, *values]):
            if run not in runs or row not in names:
                raise Unusable(f"{path}: not a sound results store: a median of the run "
                               f"{run}, row {row}, which is not stored")
            if type(median) is not float or not math.isfinite(median):
                raise Unusable(f"{path}: not a sound results store: the run {run} of "
                               f"{runs[run].path!r}: a median {str(median)[:30]!r} of the row "
                               f"{names[row]}, not a number")
            if not wanted or names[row] in wanted:
                runs[run].medians[names[row]] = median
    except sqlite3.Error as error:
        raise failed(path, error, "cannot read the store") from None
    finally:
        con.close()
    return [r for r in runs.values() if r.medians]


def count_runs(path: str, hosts: Sequence[str] = (), labels: Sequence[str] = (),
               since: str | None = None, until: str | None = None) -> int:
    """How many stored runs the choice given keeps: so that an option that
    leaves out none can say so."""
    where, values = _where(hosts, labels, since, until)
    con = _open_for_reading(path)
    try:
        count: int = con.execute("SELECT COUNT(*) FROM runs r" + where, values).fetchone()[0]
        return count
    except sqlite3.Error as error:
        raise failed(path, error, "cannot read the store") from None
    finally:
        con.close()


def _latest(chosen: list[tuple[str, str, str, float | None]], latest: int | None) -> set[int]:
    """Which of the runs (path, host, label, epoch) --latest keeps: the
    latest of each host (its label, else its host name, as the fleet groups
    them)."""
    if latest is None:
        return set(range(len(chosen)))
    kept: dict[str, list[int]] = {}
    for i, (_, host, label, _) in enumerate(chosen):
        kept.setdefault(label or host, []).append(i)
    keep = set()
    for runs in kept.values():
        # A run without a date counts as the earliest.
        runs.sort(key=lambda i: (chosen[i][3] is not None, chosen[i][3] or 0.0))
        keep.update(runs[len(runs) - latest:] if latest > 0 else [])
    return keep


def stored_fleet(path: str, since: str | None = None, until: str | None = None,
                 latest: int | None = None) -> list[Run]:
    """The stored runs as the fleet reads them, in the order of
    stored_results(): each row's median of ticks and its standard error, no
    repetition, so that memory does not grow with the store. A run stored
    without its errors (by an older schema, in a store that cannot be
    written) has them made from its repetitions, one run at a time."""
    from .fleet import Run
    from .reader import declared_rows

    where, values = _where((), (), since, until)
    con = _open_for_reading(path)
    try:
        names = {i: n for i, n in con.execute("SELECT id, name FROM names")}
        ticks = next((i for i, n in names.items() if n == "ticks"), -1)
        # Texts as bytes, so that a store's text that is not UTF-8 is refused as a run's.
        con.text_factory = bytes
        found = []
        # The texts that runs' contexts repeat, kept once: a fifth of the room.
        texts: dict[str, str] = {}
        for run in con.execute(f"SELECT {RUN} FROM runs r" + where + ORDER, values):
            origin, host, label, _, context = _checked_run(path, run)
            found.append((run[0], origin, host, label, run[7],
                          {texts.setdefault(k, k): _shared(v, texts) for k, v in context.items()}))
        con.text_factory = str
        keep = _latest([f[1:5] for f in found], latest)
        runs = {f[0]: (f[1], f[5]) for i, f in enumerate(found) if i in keep}
        every = {f[0] for f in found}
        medians: dict[int, dict[str, float]] = {run: {} for run in runs}
        errors: dict[int, dict[str, float]] = {run: {} for run in runs}
        chosen = f" AND c.run IN (SELECT r.id FROM runs r{where})" if where else ""
        for run, row, median in con.execute(
                "SELECT c.run, c.row, c.median FROM counters c WHERE c.counter = ?" + chosen
                + " ORDER BY c.run, c.position", [ticks, *values]):
            if run not in every or row not in names:
                raise Unusable(f"{path}: not a sound results store: a median of the run "
                               f"{run}, row {row}, which is not stored")
            if type(median) is not float or not math.isfinite(median):
                raise Unusable(f"{path}: not a sound results store: the run {run} of "
                               f"{runs[run][0] if run in runs else ''!r}: a median "
                               f"{str(median)[:30]!r} of the row {names[row]}, not a number")
            if run in runs:
                medians[run][names[row]] = median
        if con.execute("PRAGMA user_version").fetchone()[0] >= ERRORS_AS_FILES:
            for run, row, error in con.execute(
                    "SELECT c.run, c.row, c.error FROM errors c"
                    + (" WHERE" + chosen[4:] if chosen else ""), values):
                if run not in every or row not in names:
                    raise Unusable(f"{path}: not a sound results store: an error of the run "
                                   f"{run}, row {row}, which is not stored")
                if type(error) is not float or not math.isfinite(error) or error < 0:
                    raise Unusable(f"{path}: not a sound results store: the run {run} of "
                                   f"{runs[run][0] if run in runs else ''!r}: an error "
                                   f"{str(error)[:30]!r} of the row {names[row]}, not a "
                                   f"number of 0 or more")
                if run in runs:
                    errors[run][names[row]] = error
        result = []
        for run, (origin, context) in runs.items():
            if errors[run].keys() != medians[run].keys():
                errors[run] = _errors_from_repetitions(path, con, run, origin)
            if not medians[run] or errors[run].keys() != medians[run].keys():
                raise Unusable(f"{path}: not a sound results store: the run {run} of "
                               f"{origin!r}: its medians are not of its repetitions' rows")
            result.append(Run(origin, context,
                              tuple(declared_rows(origin, context, list(medians[run]))),
                              medians[run], errors[run]))
    except sqlite3.Error as error:
        raise failed(path, error, "cannot read the store") from None
    finally:
        con.close()
    return result


def _shared(value: object, texts: dict[str, str]) -> object:
    """A context's value, its texts those of `texts` where equal."""
    if isinstance(value, str):
        return texts.setdefault(value, value)
    if isinstance(value, list):
        return [_shared(v, texts) for v in value]
    return value


def _errors_from_repetitions(path: str, con: sqlite3.Connection, run: int,
                             origin: str) -> dict[str, float]:
    """A run's errors made from its repetitions, which are then dropped."""
    try:
        found = con.execute("SELECT data FROM repetitions WHERE run = ?", (run,)).fetchone()
        return errors_of(found[0] if found else None)
    except (ValueError, TypeError, KeyError, zlib.error) as error:
        raise Unusable(f"{path}: not a sound results store: the run of {origin} "
                       f"cannot be read ({error})") from None


def stored_results(path: str, hosts: Sequence[str] = (), labels: Sequence[str] = (),
                   since: str | None = None, until: str | None = None,
                   latest: int | None = None) -> list[Results]:
    """The stored runs as results files read, every repetition of every
    counter as the file had it; `latest` keeps the latest runs of each host
    (its label, else its host name, as the fleet groups them)."""
    where, values = _where(hosts, labels, since, until)
    con = _open_for_reading(path)
    try:
        con.text_factory = bytes
        chosen = []
        for *found, data, kind in con.execute(
                f"SELECT {RUN}, p.data, typeof(p.data) FROM runs r JOIN repetitions p "
                "ON p.run = r.id" + where + ORDER, values):
            origin, host, label, _, context = _checked_run(path, tuple(found))
            chosen.append((origin, host, label, found[7], context, data if kind == b"blob" else None))
    except sqlite3.Error as error:
        raise failed(path, error, "cannot read the store") from None
    finally:
        con.close()
    keep = _latest([c[:4] for c in chosen], latest)
    chosen = [c for i, c in enumerate(chosen) if i in keep]
    results = []
    for origin, _, _, _, context, repetitions in chosen:
        try:
            if repetitions is None:
                raise TypeError("not a blob")
            rows, levers, series = decode(repetitions)
            results.append(Results(origin, context, series, rows, levers))
        except (ValueError, TypeError, KeyError, zlib.error) as error:
            raise Unusable(f"{path}: not a sound results store: the run of {origin} "
                           f"cannot be read ({error})") from None
    return results
