"""The results store: the runs of many results files kept in one SQLite
database, so that runs can be compared over time and across a fleet."""

from __future__ import annotations

from dataclasses import dataclass


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
