"""The files read, by the names the other tables use, and their context:
all of it for one file, the entries that differ for several."""

from __future__ import annotations

import json
import os
from typing import NamedTuple

from .noise import VARIANT_ROW, left_out_variants
from .reader import Results
from .tables import Align, Column, Output, Table

# The context entries shown for one file, in this order.
CONTEXT_SHOWN = (
    "label", "host_name", "date", "kernel", "libc", "cpu_model", "affinity",
    "virtualization", "tunables", "variants", "program",
)
# Entries that differ between any two runs, and so tell nothing: a run's
# noise is told apart, in the reports' opening lines.
CONTEXT_ALWAYS_DIFFERS = ("date", "load_avg", "executable", "mhz_per_cpu", "noise",
                          "load_avg_before", "load_avg_after", "others_cpu", "steal")
EMULATED = "emulated on "


class NamedFile(NamedTuple):
    number: str  # "[1]"
    name: str
    path: str
    emulated: str  # what it was emulated on, or ""
    # The variants its context lists whose rows it lacks.
    left_out: tuple[str, ...] = ()


class ContextEntry(NamedTuple):
    key: str
    values: list[str]  # one a file


class FilesReport(NamedTuple):
    files: list[NamedFile]
    # One file: the entries of CONTEXT_SHOWN it has. Several: the entries
    # that differ between them.
    context: list[ContextEntry]


def name_of(r: Results, results: list[Results]) -> str:
    """The file's name among `results`: its label or file name, with the
    file name or path added where that alone would not tell it apart."""
    name = r.name
    if sum(other.name == name for other in results) == 1:
        return name
    base = os.path.basename(r.path)
    if sum(os.path.basename(other.path) == base for other in results) == 1:
        return name if name == base else f"{name} ({base})"
    return f"{name} ({r.path})"


def files_report(results: list[Results]) -> FilesReport:
    files = []
    for i, r in enumerate(results, 1):
        virtualization = str(r.context.get("virtualization", ""))
        emulated = virtualization[len(EMULATED):] if virtualization.startswith(EMULATED) else ""
        files.append(NamedFile(f"[{i}]", name_of(r, results), r.path, emulated,
                               tuple(left_out_variants(r))))
    if len(results) == 1:
        context = [ContextEntry(key, [str(results[0].context[key])])
                   for key in CONTEXT_SHOWN if key in results[0].context]
    else:
        keys = sorted({k for r in results for k in r.context})
        context = [ContextEntry(key, [str(r.context.get(key, "-")) for r in results])
                   for key in keys
                   if key not in CONTEXT_ALWAYS_DIFFERS
                   and len({json.dumps(r.context.get(key)) for r in results}) > 1]
    return FilesReport(files, context)


def print_files(report: FilesReport, out: Output) -> None:
    table = Table("files", "files", [Column("file", Align.LEFT), Column("name", Align.LEFT),
                                     Column("path", Align.LEFT)])
    for f in report.files:
        table.add(f.number, f.name, f.path)
    out.table(table)
    for f in report.files:
        if f.emulated:
            out.note(f"{f.number} was measured {EMULATED}{f.emulated}: its numbers mean "
                     "nothing (the emulator translates every instruction)")
        if f.left_out:
            rows = ", ".join(VARIANT_ROW + v for v in f.left_out)
            out.note(f"{f.number} lists the variant{'s' if len(f.left_out) > 1 else ''} "
                     f"{', '.join(f.left_out)} in its context but has no row {rows}: "
                     "left out by --benchmark_filter")
    if len(report.files) == 1:
        table = Table("context", "context", [Column("entry", Align.LEFT),
                                             Column("value", Align.LEFT)])
    else:
        table = Table("context", "context entries that differ",
                      [Column("entry", Align.LEFT)]
                      + [Column(f.number, Align.LEFT) for f in report.files])
    if len(report.files) > 1 and not report.context:
        out.empty(table)
        out.note("the files' contexts differ only in their dates")
        return
    for entry in report.context:
        table.add(entry.key, *entry.values)
    out.table(table)
