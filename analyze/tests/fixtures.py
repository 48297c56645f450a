"""Small results built in the tests, and the hand-made files of data/."""

from __future__ import annotations

import array
import json
import os

from analyze.reader import Lever, Results, counters_of, inferred_levers

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
# Made by hand, with the context entries rows and levers of the bench.
KNOWN = os.path.join(DATA, "known.json")


def results_of(rows: dict[str, list[float]], context: dict[str, object] | None = None,
               parts: dict[str, dict[str, list[float]]] | None = None,
               levers: list[Lever] | None = None, path: str = "made.json") -> Results:
    """Results of the rows' ticks given (and of the counters given in
    `parts`: a parts row's parts, any row's process_cpu or wall),
    without a file: rows in the order given, levers as given or inferred."""
    values = {}
    for row, ticks in rows.items():
        counters = {"ticks": array.array("d", ticks)}
        for part in counters_of(row)[1:]:
            counters[part] = array.array("d", (parts or {})[row][part])
        # Other counters given for the row, such as process_cpu and wall.
        for counter, given in (parts or {}).get(row, {}).items():
            counters.setdefault(counter, array.array("d", given))
        values[row] = counters
    return Results(path, dict(context or {"cold_helper": "/x"}), values, tuple(rows),
                   tuple(levers if levers is not None else inferred_levers(list(rows))))


def write_results(path: str, rows: dict[str, list[float]],
                  context: dict[str, object] | None = None) -> str:
    """Writes a results file of the rows' ticks given, as the bench writes
    it; returns its path."""
    runs = [{"run_name": f"{row}/iterations:1/repeats:{len(ticks)}/manual_time",
             "run_type": "iteration", "ticks": t, **{p: 0.0 for p in counters_of(row)[1:]}}
            for row, ticks in rows.items() for t in ticks]
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"context": {"cold_helper": "/x", **(context or {})}, "benchmarks": runs}, f)
    return path

