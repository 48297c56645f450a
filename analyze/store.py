"""The results store: the runs of many results files kept in one SQLite
database, so that runs can be compared over time and across a fleet."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence


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


def stored_runs(path: str, hosts: Sequence[str] = (), rows: Sequence[str] = (),
                labels: Sequence[str] = (), since: str | None = None,
                until: str | None = None) -> list[StoredRun]:
    """The runs of the store at `path` of the hosts, rows and labels given
    (every one where none is given), dated from `since` to `until`, by
    host, then date, then key."""
    raise NotImplementedError("the store is not there yet")
