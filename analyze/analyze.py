#!/usr/bin/python3
"""thread-start-analyze: summarise and compare thread-start-bench results.

One file: each row's median, p90 and p99 of ticks; the gaps between rows;
where the ticks go (the parts of program_parts/default); and what each
lever and variant moves, each a difference of medians with a 95 % bootstrap
interval. Several files: each side's median of its runs' medians, the
change, and with enough runs a side a 95 % interval with its verdict.
--fleet: one line per host, with the hosts that stand out marked.

Exit status: 0 done, 2 a usage error, an unusable file or a missing
Python library.
"""

import argparse
import array
import csv
import json
import logging
import math
import os
import signal
import stat
import sys
import textwrap
import warnings

PROG = "thread-start-analyze"

# The rows in the order the bench shows them; variants come after pinned.
PROGRAM_ROWS = ["program_run/pipe", "program_run/pipe_one_arena", "program_run/pinned"]
LATER_ROWS = [
    "program_run/tty",
    "program_parts/default",
    "program_parts/own_stack",
    "program_parts/small_stack",
    "cold_thread_start",
    "warm_create_join",
]
# The gaps between rows: (name, row, row it is measured against).
GAPS = [
    ("first line", "program_run/pipe", "cold_thread_start"),
    ("heap arena", "program_run/pipe", "program_run/pipe_one_arena"),
    ("terminal write", "program_run/tty", "program_run/pipe"),
    ("cold over warm", "cold_thread_start", "warm_create_join"),
]
PARTS_ROW = "program_parts/default"
PARTS = ["creator", "new_thread", "first_line", "rest"]
# The levers measured against a base row: (row, base, the part it acts on).
STACK_LEVERS = [
    ("program_parts/own_stack", "creator"),
    ("program_parts/small_stack", "creator"),
]
CONFIDENCE = 0.95
RESAMPLES = 10000
# Levers pair their rows' repetitions up to this many; larger rows, whose
# intervals are narrow anyway, are resampled unpaired.
PAIRED_MOST = 5000
PAIRED_BATCH = 250
# Fewer runs a side than this can never give a rank test's p below 0.05.
RUNS_FOR_VERDICT = 4
# The largest file read: the bench's largest run fits well within it.
MOST_BYTES = 1 << 30
# How far a host's value may lie from the other hosts' before it is marked,
# in units of their typical run-to-run spread.
OUTLIER_SPREADS = 4.0
CONTEXT_SHOWN = [
    "label", "host_name", "date", "kernel", "libc", "cpu_model", "affinity",
    "virtualization", "tunables", "variants", "program",
]


class Unusable(Exception):
    """A file, a flag or the Python installation that cannot be used."""


def need(module, package):
    """Imports `module`, or says which Debian package brings it."""
    try:
        return __import__(module, fromlist=["_"])
    except ImportError as error:
        raise Unusable(
            f"needs the Python module {module.split('.')[0]} ({error.msg}): "
            f"install the Debian package {package}, and run this script "
            f"with /usr/bin/python3"
        ) from None


def row_name(run_name):
    """The row of a Google Benchmark run name: 'program_run/pipe' of
    'program_run/pipe/iterations:1/repeats:200/manual_time'."""
    parts = [
        p
        for p in run_name.split("/")
        if ":" not in p and p not in ("manual_time", "process_time", "real_time")
    ]
    return "/".join(parts)


# NaN and the infinities are read as floats, to be refused with the entry
# they stand in.
DECODER = json.JSONDecoder(parse_constant=float)


class Reader:
    """Reads one JSON file a value at a time, so that a file of a million
    repetitions a row never sits in memory as Python objects."""

    CHUNK = 1 << 20

    def __init__(self, f, path):
        self.f = f
        self.path = path
        self.text = ""
        self.at = 0
        self.done = False

    def more(self):
        chunk = self.f.read(self.CHUNK)
        if not chunk:
            self.done = True
            return False
        self.text = self.text[self.at:] + chunk
        self.at = 0
        return True

    def skip_space(self):
        while True:
            while self.at < len(self.text) and self.text[self.at] in " \t\r\n":
                self.at += 1
            if self.at < len(self.text) or not self.more():
                return

    def peek(self):
        self.skip_space()
        return self.text[self.at] if self.at < len(self.text) else ""

    def expect(self, char):
        if self.peek() != char:
            raise Unusable(f"{self.path}: not a JSON file")
        self.at += 1

    def value(self):
        """The next JSON value, whole."""
        self.skip_space()
        while True:
            try:
                value, end = DECODER.raw_decode(self.text, self.at)
            except json.JSONDecodeError:
                if self.more():
                    continue
                raise Unusable(f"{self.path}: not a JSON file") from None
            # A number may go on in the next chunk.
            if end == len(self.text) and not self.done and self.more():
                continue
            self.at = end
            return value


def number_of(value):
    """`value` as a float if it is a finite number, else None."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        value = float(value)
    except OverflowError:
        return None
    return value if math.isfinite(value) else None


class Results:
    """One JSON file of thread-start-bench: its context and, for each row,
    the ticks of every repetition (and of each part, for the parts rows)."""

    def __init__(self, path):
        self.path = path
        try:
            status = os.stat(path)
            if not stat.S_ISREG(status.st_mode):
                raise Unusable(f"{path}: not a regular file")
            if status.st_size > MOST_BYTES:
                raise Unusable(f"{path}: larger than {MOST_BYTES >> 20} MiB")
            with open(path, encoding="utf-8") as f:
                self.read(Reader(f, path))
        except OSError as error:
            raise Unusable(f"{path}: {error.strerror}") from None
        except UnicodeDecodeError:
            raise Unusable(f"{path}: not a JSON file") from None
        except RecursionError:
            raise Unusable(f"{path}: nested too deeply to be the bench's JSON") from None
        except ValueError as error:
            # A number with more digits than Python reads.
            raise Unusable(f"{path}: not the bench's JSON ({error})") from None

    def read(self, reader):
        path = self.path
        self.context = None
        self.values = {}  # row -> counter -> array of floats
        aggregates = 0
        reader.expect("{")
        while reader.peek() != "}":
            key = reader.value()
            reader.expect(":")
            if key == "benchmarks" and reader.peek() == "[":
                reader.expect("[")
                while reader.peek() != "]":
                    aggregates += self.add(reader.value())
                    if reader.peek() == ",":
                        reader.expect(",")
                reader.expect("]")
            elif key == "context":
                self.context = reader.value()
            else:
                reader.value()
            if reader.peek() == ",":
                reader.expect(",")
        reader.expect("}")
        if reader.peek() != "":
            raise Unusable(f"{path}: not a JSON file")
        if not isinstance(self.context, dict) or "cold_helper" not in self.context:
            raise Unusable(f"{path}: not the JSON output of thread-start-bench")
        if not self.values:
            if aggregates:
                raise Unusable(
                    f"{path}: aggregates only: the console's JSON "
                    f"(--benchmark_format=json), not the file of --benchmark_out"
                )
            raise Unusable(f"{path}: holds no repetitions")
        for row, counters in self.values.items():
            if len(counters["ticks"]) < 2:
                raise Unusable(f"{path}: {row} has {len(counters['ticks'])} repetition; "
                               f"statistics need at least 2")
        self.ticks = {row: counters["ticks"] for row, counters in self.values.items()}

    def add(self, run):
        """Keeps one entry of "benchmarks"; returns 1 for an aggregate."""
        path = self.path
        if not isinstance(run, dict):
            raise Unusable(f"{path}: an entry of benchmarks is not an object")
        if run.get("run_type") == "aggregate":
            return 1
        name = run.get("run_name")
        if run.get("run_type") != "iteration" or not isinstance(name, str) or not name:
            raise Unusable(f"{path}: an entry of benchmarks has no run_name or run_type")
        row = row_name(name)
        counters = ["ticks"] + (PARTS if row.startswith("program_parts/") else [])
        kept = self.values.setdefault(row, {c: array.array("d") for c in counters})
        for counter in counters:
            value = number_of(run.get(counter))
            if value is None or (value < 0 and counter != "rest"):
                raise Unusable(
                    f"{path}: a repetition of {row} has {counter} "
                    f"{json.dumps(run.get(counter))[:40]}: not a finite number"
                    + ("" if counter == "rest" else " of 0 or more")
                )
            kept[counter].append(value)
        return 0

    def name(self):
        label = self.context.get("label")
        return str(label) if label else os.path.basename(self.path)


class Table:
    """Rows of cells under a heading, shown as text, Markdown or CSV; in
    CSV each line starts with the table's short name."""

    def __init__(self, key, title, columns, align=None):
        self.key = key
        self.title = title
        self.columns = columns
        self.align = list(align or "<" + ">" * (len(columns) - 1))
        self.rows = []

    def add(self, *cells):
        self.rows.append([str(c) for c in cells])

    def show(self, form, out):
        if form == "csv":
            writer = csv.writer(out, lineterminator="\n")
            writer.writerow(["table"] + self.columns)
            for row in self.rows:
                writer.writerow([self.key] + row)
            return
        print(self.title, file=out)
        if form == "markdown":
            print(file=out)
            print("| " + " | ".join(self.columns) + " |", file=out)
            print("|" + "|".join(" --- " if a == "<" else " ---: " for a in self.align) + "|",
                  file=out)
            for row in self.rows:
                print("| " + " | ".join(c.replace("|", "\\|") for c in row) + " |", file=out)
            return
        widths = [max([len(c)] + [len(r[i]) for r in self.rows])
                  for i, c in enumerate(self.columns)]
        for row in [self.columns] + self.rows:
            cells = [f"{c:{a}{w}}" for c, a, w in zip(row, self.align, widths)]
            print("  ".join(cells).rstrip(), file=out)


class Output:
    """Tables and notes in one of the formats, on standard output."""

    def __init__(self, form):
        self.form = form
        self.started = False

    def table(self, table):
        if self.started:
            print()
        self.started = True
        table.show(self.form, sys.stdout)

    def note(self, text):
        """A line of its own: under the last table, or a CSV line
        "note,TEXT"."""
        if self.form == "csv":
            csv.writer(sys.stdout, lineterminator="\n").writerow(["note", text])
            return
        print(("\n" if self.form == "markdown" else "") + textwrap.fill(text, 79))


class Stats:
    """The statistics, from numpy and scipy."""

    def __init__(self):
        self.np = need("numpy", "python3-numpy")
        self._stats = None

    @property
    def stats(self):
        """scipy.stats, imported on first use: a one-file summary needs
        numpy alone."""
        if self._stats is None:
            self._stats = need("scipy.stats", "python3-scipy")
        return self._stats

    def median(self, values):
        return float(self.np.median(values))

    def percentiles(self, values, ps):
        """Nearest-rank percentiles, as the bench computes them."""
        return [float(v) for v in self.np.percentile(values, ps, method="inverted_cdf")]

    def resampled_medians(self, values, rng):
        """The medians of RESAMPLES bootstrap resamples of `values`, each as
        large as `values`. A resample's k-th smallest value is the sample's
        value at the k-th smallest of n uniform draws, so each median is
        drawn from that order statistic's beta distribution: the same
        distribution as resampling every value, in time and memory that do
        not grow with the sample."""
        np = self.np
        x = np.sort(np.asarray(values, dtype=float))
        n = len(x)

        def at(u):
            return x[np.clip(np.ceil(u * n).astype(np.int64) - 1, 0, n - 1)]

        if n % 2:
            m = (n + 1) // 2
            return at(rng.beta(m, n - m + 1, RESAMPLES))
        m = n // 2
        low = rng.beta(m, n - m + 1, RESAMPLES)
        # The next order statistic: the least of the n - m draws above it.
        high = low + (1 - low) * rng.beta(1, n - m, RESAMPLES)
        return (at(low) + at(high)) / 2

    def interval(self, draws):
        """The percentile interval of bootstrap draws."""
        tail = (1 - CONFIDENCE) / 2 * 100
        low, high = self.np.percentile(draws, [tail, 100 - tail])
        return float(low), float(high)

    def median_gap(self, a, b, seed):
        """Median of a less median of b, and its bootstrap interval."""
        rng = self.np.random.default_rng(seed)
        draws = self.resampled_medians(a, rng) - self.resampled_medians(b, rng)
        return (self.median(a) - self.median(b),) + self.interval(draws)

    def paired_median_gap(self, a, b, seed):
        """Median of a less median of b, with a bootstrap interval that
        resamples pairs: the i-th repetition of each row, which ran at
        about the same time of an interleaved run. Rows of unequal or large
        size are resampled unpaired."""
        np = self.np
        a = np.asarray(a, dtype=float)
        b = np.asarray(b, dtype=float)
        if len(a) != len(b) or len(a) > PAIRED_MOST:
            return self.median_gap(a, b, seed)
        rng = np.random.default_rng(seed)
        draws = []
        for start in range(0, RESAMPLES, PAIRED_BATCH):
            pick = rng.integers(0, len(a), (min(PAIRED_BATCH, RESAMPLES - start), len(a)))
            draws.append(np.median(a[pick], axis=1) - np.median(b[pick], axis=1))
        return (self.median(a) - self.median(b),) + self.interval(np.concatenate(draws))

    def median_interval(self, values, seed):
        rng = self.np.random.default_rng(seed)
        return (self.median(values),) + self.interval(self.resampled_medians(values, rng))

    def shift_interval(self, a, b):
        """A 95 % interval for how far b lies above a, from the Mann-Whitney
        U test on the two sets of values: the shifts it does not reject.
        Returns (low, high, p) with p the test's p-value for no shift."""
        np = self.np
        a = np.asarray(a, dtype=float)
        b = np.asarray(b, dtype=float)
        d = np.unique(np.subtract.outer(b, a).ravel())
        # U, and so the p-value, changes only at these differences.
        mids = np.concatenate(([d[0] - 1], (d[:-1] + d[1:]) / 2, [d[-1] + 1]))
        p = self.stats.mannwhitneyu(b[None, :] - mids[:, None], np.broadcast_to(a, (len(mids), len(a))),
                                    alternative="two-sided", axis=1).pvalue
        kept = np.flatnonzero(p >= 1 - CONFIDENCE)
        p0 = float(self.stats.mannwhitneyu(b, a, alternative="two-sided").pvalue)
        if len(kept) == 0:
            return float("nan"), float("nan"), p0
        # Each kept midpoint stands for the open span between its two
        # neighbouring differences.
        low = d[kept[0] - 1] if kept[0] > 0 else -math.inf
        high = d[kept[-1]] if kept[-1] < len(d) else math.inf
        return float(low), float(high), p0


def rows_of(results):
    """Rows in the bench's order, variants after pinned, then any others."""
    seen = {row for r in results for row in r.ticks}
    variants = sorted(row for row in seen
                      if row.startswith("program_run/") and row not in PROGRAM_ROWS + LATER_ROWS)
    known = PROGRAM_ROWS + variants + LATER_ROWS
    return [row for row in known if row in seen] + sorted(seen - set(known))


def fmt(value):
    """A number of ticks to one place, or "-" for none."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.1f}"


def change(new, base):
    """The change from `base` to `new` in percent of `base`."""
    if base == 0:
        return "-" if new == 0 else "n/a (base 0)"
    return f"{(new - base) / base * 100:+.1f}%"


def interval_text(low, high):
    return f"[{fmt(low)}, {fmt(high)}]"


def name_of(r, results):
    """The file's name among `results`: its label or file name, with the
    file name or path added where that alone would not tell it apart."""
    name = r.name()
    if sum(other.name() == name for other in results) == 1:
        return name
    base = os.path.basename(r.path)
    if sum(os.path.basename(other.path) == base for other in results) == 1:
        return name if name == base else f"{name} ({base})"
    return f"{name} ({r.path})"


def describe_files(results, out):
    """Each file by its name, and the context: all of it for one file, the
    entries that differ for several."""
    files = Table("files", "files", ["file", "name", "path"], "<<<")
    for i, r in enumerate(results, 1):
        files.add(f"[{i}]", name_of(r, results), r.path)
    out.table(files)
    for i, r in enumerate(results, 1):
        virtualization = str(r.context.get("virtualization", ""))
        if virtualization.startswith("emulated on "):
            out.note(f"[{i}] was measured {virtualization}: its numbers mean "
                     "nothing (the emulator translates every instruction)")
    if len(results) == 1:
        context = Table("context", "context", ["entry", "value"], "<<")
        for key in CONTEXT_SHOWN:
            if key in results[0].context:
                context.add(key, results[0].context[key])
        out.table(context)
        return
    keys = sorted({k for r in results for k in r.context})
    differ = [k for k in keys if k not in ("date", "load_avg", "executable", "mhz_per_cpu")
              and len({json.dumps(r.context.get(k)) for r in results}) > 1]
    if not differ:
        out.note("the files' contexts differ only in their dates")
        return
    context = Table("context", "context entries that differ",
                    ["entry"] + [f"[{i}]" for i in range(1, len(results) + 1)],
                    "<" * (len(results) + 1))
    for key in differ:
        context.add(key, *[r.context.get(key, "-") for r in results])
    out.table(context)


def levers_of(r):
    """Each lever of a file with what it is measured against: (row, base
    row, counter, values, base values or None, seed)."""
    seed = 20
    for row in rows_of([r]):
        if row.startswith("program_run/") and row not in ("program_run/pipe", "program_run/tty"):
            base = "program_run/pipe"
            measures = [("ticks", r.ticks[row], r.ticks.get(base))]
        elif row in dict(STACK_LEVERS):
            base = PARTS_ROW
            part = dict(STACK_LEVERS)[row]
            other = r.values.get(base, {})
            measures = [("ticks", r.ticks[row], other.get("ticks")),
                        (part, r.values[row][part], other.get(part))]
        else:
            continue
        for on, values, base_values in measures:
            seed += 1
            yield row, base, on, values, base_values, seed


def one_file(r, st, out):
    describe_files([r], out)
    table = Table("rows", "rows: ticks per repetition", ["row", "runs", "median", "p90", "p99"])
    for row in rows_of([r]):
        values = r.ticks[row]
        p90, p99 = st.percentiles(values, [90, 99])
        table.add(row, len(values), fmt(st.median(values)), fmt(p90), fmt(p99))
    out.table(table)

    table = Table("gaps", "gaps: difference of medians in ticks, 95% bootstrap interval",
                  ["gap", "rows", "difference", "interval"], "<<><")
    for seed, (name, a, b) in enumerate(GAPS):
        if a not in r.ticks or b not in r.ticks:
            table.add(name, f"{a} - {b}", "-", "not measured in this file")
            continue
        gap, low, high = st.median_gap(r.ticks[a], r.ticks[b], seed)
        table.add(name, f"{a} - {b}", fmt(gap), interval_text(low, high))
    out.table(table)

    if PARTS_ROW in r.values:
        parts = r.values[PARTS_ROW]
        total = st.median(parts["ticks"])
        table = Table("parts", f"where the ticks go: {PARTS_ROW}, median of each part in ticks",
                      ["part", "median", "share", "interval"], "<>><")
        for seed, part in enumerate(PARTS, 10):
            med, low, high = st.median_interval(parts[part], seed)
            share = "-" if total == 0 else f"{med / total:.0%}"
            table.add(part, fmt(med), share, interval_text(low, high))
        med, low, high = st.median_interval(parts["ticks"], 14)
        table.add("ticks (the span)", fmt(med), "100%" if total else "-", interval_text(low, high))
        if "program_run/pipe" in r.ticks:
            gap, low, high = st.median_gap(parts["ticks"], r.ticks["program_run/pipe"], 15)
            table.add("instrumentation: ticks - program_run/pipe", fmt(gap),
                      change(total, st.median(r.ticks["program_run/pipe"])),
                      interval_text(low, high))
        out.table(table)

    table = Table("levers", "levers: each row against the row it changes, difference of medians in ticks, 95% paired bootstrap interval",
                  ["lever", "against", "on", "difference", "change", "interval"], "<<<>><")
    for row, base, on, values, base_values, seed in levers_of(r):
        if base_values is None:
            table.add(row, base, on, "-", "-", "not measured in this file")
            continue
        gap, low, high = st.paired_median_gap(values, base_values, seed)
        table.add(row, base, on, fmt(gap), change(st.median(values), st.median(base_values)),
                  interval_text(low, high))
    if table.rows:
        out.table(table)
        out.note("The levers' intervals resample pairs of repetitions, the i-th of each row, "
                 "which ran at about the same time: they tell how sure the difference is "
                 "with the machine's state at each moment shared by both rows, within this run.")


def groups_of(results, explicit):
    """The sides to compare: [(name, [Results])], in the order given."""
    if explicit:
        return explicit
    groups = {}
    for r in results:
        label = r.context.get("label")
        groups.setdefault(str(label) if label else r.path, []).append(r)
    return [(name if len(files) > 1 or files[0].context.get("label") else files[0].name(), files)
            for name, files in groups.items()]


def side_name(i):
    return chr(65 + i) if i < 26 else str(i + 1)


def compare(groups, st, out):
    everything = [r for _, files in groups for r in files]
    describe_files(everything, out)
    sides = Table("sides", "sides", ["side", "name", "runs", "files"], "<<><")
    for i, (name, files) in enumerate(groups):
        sides.add(side_name(i), name, len(files),
                  " ".join(f"[{everything.index(r) + 1}]" for r in files))
    out.table(sides)
    columns = ["row"]
    for i in range(len(groups)):
        columns += [side_name(i)] + ([] if i == 0 else ["change", "interval", "verdict"])
    table = Table("compare", "median of the runs' medians in ticks; change against side A, "
                  "95% interval of the difference from a rank test on the runs' medians",
                  columns, "<" + ">>>><" * (len(groups) - 1))
    for row in rows_of(everything):
        medians = [[st.median(r.ticks[row]) for r in files if row in r.ticks] for _, files in groups]
        base = medians[0]
        cells = [row, fmt(st.median(base)) if base else "-"]
        for other in medians[1:]:
            if not other or not base:
                cells += [fmt(st.median(other)) if other else "-", "-", "-", "-"]
                continue
            cells += [fmt(st.median(other)), change(st.median(other), st.median(base))]
            if min(len(base), len(other)) < RUNS_FOR_VERDICT:
                cells += ["-", "-"]
                continue
            low, high, _ = st.shift_interval(base, other)
            cells += [interval_text(low, high),
                      "differs" if low > 0 or high < 0 else "no change shown"]
        table.add(*cells)
    out.table(table)
    fewest = min(len(files) for _, files in groups)
    if fewest < RUNS_FOR_VERDICT:
        out.note(f"no verdict: a side has {fewest} run{'s' if fewest != 1 else ''}; a verdict "
                 f"needs at least {RUNS_FOR_VERDICT} runs a side, as runs differ from each other "
                 f"more than repetitions within one run do")


def fleet(groups, st, out):
    """One line per host: each row's median of run medians and run-to-run
    spread; `outlier` where a host lies further from the others than their
    spread explains."""
    everything = [r for _, files in groups for r in files]
    rows = [row for row in rows_of(everything)
            if all(any(row in r.ticks for r in files) for _, files in groups)]
    value = {}
    spread = {}
    for name, files in groups:
        for row in rows:
            runs = [r.ticks[row] for r in files if row in r.ticks]
            medians = [st.median(ticks) for ticks in runs]
            value[name, row] = st.median(medians)
            # At least the spread a run's own repetitions give its median,
            # so that a few runs that happen to agree set no bar of 0.
            within = st.median([(high - low) / 3.92 for _, low, high in
                                (st.median_interval(ticks, 0) for ticks in runs)])
            between = (float(st.stats.median_abs_deviation(medians, scale="normal"))
                       if len(medians) > 1 else 0.0)
            spread[name, row] = max(between, within)
    table = Table("fleet", "fleet: median of the runs' medians in ticks, +- run-to-run spread",
                  ["host", "runs"] + rows + ["verdict"], "<" + ">" * (len(rows) + 1) + "<")
    for name, files in groups:
        outlying = []
        for row in rows:
            others = [n for n, _ in groups if n != name]
            if len(others) < 2:
                continue
            center = st.median([value[n, row] for n in others])
            typical = st.median([spread[n, row] for n in others])
            if abs(value[name, row] - center) > OUTLIER_SPREADS * max(typical, 1e-9):
                outlying.append(row)
        table.add(name, len(files), *[f"{fmt(value[name, row])} +- {fmt(spread[name, row])}"
                                      for row in rows],
                  ("outlier: " + ", ".join(outlying)) if outlying else "")
    out.table(table)
    if len(groups) < 3:
        out.note("outliers need at least 3 hosts")


def plot(results, names, out_path, st):
    """Draws, on linear axes with labelled ticks: every row's distribution,
    a file a style; where the ticks go; and each lever's effect with its
    interval."""
    np = st.np
    # Its notes (a font cache being built, a configuration directory it
    # cannot write) are not this program's output.
    logging.getLogger("matplotlib").setLevel(logging.ERROR)
    matplotlib = need("matplotlib", "python3-matplotlib")
    matplotlib.use("Agg")
    plt = need("matplotlib.pyplot", "python3-matplotlib")
    rows = rows_of(results)
    parts = [r for r in results if PARTS_ROW in r.values]
    levers = [(r, list(levers_of(r))) for r in results]
    lever_names = []
    for _, found in levers:
        for row, _, on, _, base_values, _ in found:
            if base_values is not None and f"{row} ({on})" not in lever_names:
                lever_names.append(f"{row} ({on})")
    heights = [0.32 * len(rows) * max(1, len(results)) ** 0.5 + 1.2]
    if parts:
        heights.append(0.4 * len(parts) + 1.2)
    if lever_names:
        heights.append(0.3 * len(lever_names) * max(1, len(results)) ** 0.5 + 1.2)
    fig, axes = plt.subplots(len(heights), 1, figsize=(10, sum(heights) + 0.6), squeeze=False,
                             gridspec_kw={"height_ratios": heights})
    axes = list(axes[:, 0])
    styles = [(c, m) for m in ("o", "s") for c in plt.get_cmap("tab10").colors]
    step = 0.8 / len(results)

    def offset(i):
        return (i - (len(results) - 1) / 2) * step

    ax = axes.pop(0)
    for i, r in enumerate(results):
        color, marker = styles[i % len(styles)]
        for j, row in enumerate(rows):
            if row not in r.ticks:
                continue
            y = j + offset(i)
            p10, p25, p50, p75, p90 = np.percentile(r.ticks[row], [10, 25, 50, 75, 90],
                                                    method="inverted_cdf")
            ax.plot([p10, p90], [y, y], color=color, linewidth=1)
            ax.plot([p25, p75], [y, y], color=color, linewidth=5, alpha=0.5, solid_capstyle="butt")
            first = row == next(x for x in rows if x in r.ticks)
            ax.plot([p50], [y], marker=marker, color=color, markersize=6, linestyle="none",
                    label=names[i] if first else None)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels(rows)
    ax.set_ylim(len(rows) - 0.5, -0.5)
    ax.set_xlim(left=0)
    ax.set_xlabel("ticks (µs of processor time; warm_create_join: per thread)")
    ax.set_title("each row: median (marker), 25-75 % (thick), 10-90 % of repetitions (thin)",
                 fontsize=10)
    ax.grid(True, axis="x", alpha=0.3)
    ax.legend(loc="lower right", fontsize=9, framealpha=0.9)

    if parts:
        ax = axes.pop(0)
        colors = plt.get_cmap("Set2").colors
        for i, r in enumerate(parts):
            left = 0.0
            for k, part in enumerate(PARTS):
                med = st.median(r.values[PARTS_ROW][part])
                ax.barh(i, med, left=left, height=0.6, color=colors[k], edgecolor="white",
                        label=part if i == 0 else None)
                if med >= 3:
                    ax.text(left + med / 2, i, f"{med:.0f}", ha="center", va="center", fontsize=8)
                left += med
        ax.set_yticks(range(len(parts)))
        ax.set_yticklabels([names[results.index(r)] for r in parts])
        ax.set_ylim(len(parts) - 0.5 + 0.6, -0.5)
        ax.set_xlabel("ticks (µs): median of each part of program_parts/default")
        ax.set_title("where the ticks go", fontsize=10)
        ax.legend(loc="lower right", fontsize=9, ncol=4, framealpha=0.9)
        ax.grid(True, axis="x", alpha=0.3)

    if lever_names:
        ax = axes.pop(0)
        for i, (r, found) in enumerate(levers):
            color, marker = styles[i % len(styles)]
            for row, _, on, values, base_values, seed in found:
                if base_values is None:
                    continue
                gap, low, high = st.paired_median_gap(values, base_values, seed)
                y = lever_names.index(f"{row} ({on})") + offset(i)
                ax.plot([low, high], [y, y], color=color, linewidth=2)
                ax.plot([gap], [y], marker=marker, color=color, markersize=6, linestyle="none")
        ax.axvline(0, color="black", linewidth=0.8)
        ax.set_yticks(range(len(lever_names)))
        ax.set_yticklabels(lever_names)
        ax.set_ylim(len(lever_names) - 0.5, -0.5)
        ax.set_xlabel("ticks (µs): difference of medians against the base row, 95 % interval")
        ax.set_title("what each lever moves (below 0: fewer ticks)", fontsize=10)
        ax.grid(True, axis="x", alpha=0.3)
    fig.tight_layout()
    try:
        fig.savefig(out_path, dpi=80)
    except OSError as error:
        raise Unusable(f"--plot {out_path}: {error.strerror}") from None


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Unusable(message)


def main(argv):
    parser = Parser(
        prog=PROG,
        description="Summarise one thread-start-bench results file, or compare several.",
        epilog="Files with the same --label of the bench form one side; --group names "
               "a side's files explicitly. Exit status: 0 done, 2 a usage error, an "
               "unusable file or a missing library.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE.json",
                        help="written by thread-start-bench --benchmark_out=FILE.json")
    parser.add_argument("--group", nargs="+", action="append", metavar=("NAME", "FILE.json"),
                        help="a side of the comparison: its name, then its files")
    parser.add_argument("--fleet", action="store_true",
                        help="one line per host (the files' host_name, or --group)")
    parser.add_argument("--format", choices=["text", "markdown", "csv"], default="text",
                        help="how tables are printed (default text)")
    parser.add_argument("--plot", metavar="OUT.png|OUT.svg",
                        help="draw the rows and where the ticks go")
    args = parser.parse_args(argv)
    if args.plot is not None:
        base, ending = os.path.splitext(args.plot)
        if ending not in (".png", ".svg") or not os.path.basename(base):
            raise Unusable(f"--plot {args.plot!r}: the picture's name must end in .png or .svg")
    for group in args.group or []:
        if len(group) < 2:
            raise Unusable(f"--group {group[0]}: name the side's files after its name")
    if not args.files and not args.group:
        raise Unusable("the following arguments are required: FILE.json")
    warnings.simplefilter("ignore")
    st = Stats()
    # What the call needs beyond numpy, asked for before anything is read
    # or printed.
    if args.fleet or len(args.files) + len(args.group or []) > 1:
        st.stats  # pylint: disable=pointless-statement
    if args.plot:
        need("matplotlib", "python3-matplotlib")
    results = [Results(path) for path in args.files]
    explicit = [(g[0], [Results(path) for path in g[1:]]) for g in args.group or []]
    if explicit and results:
        explicit.append(("others", results))
    out = Output(args.format)
    if args.fleet:
        groups = explicit
        if not groups:
            hosts = {}
            for r in results:
                host = r.context.get("label") or r.context.get("host_name", "?")
                hosts.setdefault(str(host), []).append(r)
            groups = list(hosts.items())
        fleet(groups, st, out)
        everything = [r for _, files in groups for r in files]
    elif len(results) == 1 and not explicit:
        one_file(results[0], st, out)
        everything = results
    else:
        groups = groups_of(results, explicit)
        if len(groups) < 2:
            raise Unusable("one side only: give files of two labels, or two --group")
        compare(groups, st, out)
        everything = [r for _, files in groups for r in files]
    if args.plot:
        plot(everything, [name_of(r, everything) for r in everything], args.plot, st)
        out.note(f"picture: {args.plot}")
    return 0


if __name__ == "__main__":
    # A reader that has gone ends it quietly, as it ends other tools.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    try:
        status = main(sys.argv[1:])
        sys.stdout.flush()
    except Unusable as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        sys.exit(2)
    except OSError as error:
        # Standard output lost: a full device, a reader that has gone.
        try:
            # What is left in the buffer cannot be written either: point the
            # descriptor at /dev/null so that the flush at exit says nothing.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            print(f"{PROG}: standard output: {error.strerror}", file=sys.stderr)
        finally:
            sys.exit(1)
    sys.exit(status)
