#!/usr/bin/python3
"""Summarise and compare thread-start-bench results.

One file: each row's median, p90 and p99 of ticks, then the gaps between
rows as differences of medians with 95 % bootstrap confidence intervals.
Several files: each row's median per file, and its change against the
first file with a Mann-Whitney U p-value. --plot draws the distributions
of the process rows, the files overlaid.

Exit status: 0 done, 2 usage error, a file that is not the bench's JSON
with every repetition, or a missing Python library.
"""

import argparse
import json
import sys

PROG = "analyze.py"

# The gaps between rows: (name, row, row it is measured against).
GAPS = [
    ("first line", "program_run/pipe", "cold_thread_start"),
    ("heap arena", "program_run/pipe", "program_run/pipe_one_arena"),
    ("terminal write", "program_run/tty", "program_run/pipe"),
    ("cold over warm", "cold_thread_start", "warm_create_join"),
]
PROCESS_ROWS = [
    "program_run/pipe",
    "program_run/pipe_one_arena",
    "program_run/tty",
    "cold_thread_start",
]
CONFIDENCE = 0.95
RESAMPLES = 5000


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


class Results:
    """One JSON file of thread-start-bench: its context and, for each row,
    the ticks of every repetition."""

    def __init__(self, path):
        self.path = path
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except OSError as error:
            raise Unusable(f"{path}: {error.strerror}") from None
        except (ValueError, UnicodeDecodeError):
            raise Unusable(f"{path}: not a JSON file") from None
        if (
            not isinstance(data, dict)
            or not isinstance(data.get("context"), dict)
            or not isinstance(data.get("benchmarks"), list)
            or "cold_helper" not in data["context"]
        ):
            raise Unusable(f"{path}: not the JSON output of thread-start-bench")
        self.context = data["context"]
        self.ticks = {}
        for run in data["benchmarks"]:
            if not isinstance(run, dict) or run.get("run_type") != "iteration":
                continue
            if not isinstance(run.get("ticks"), (int, float)):
                raise Unusable(f"{path}: a repetition of {run.get('run_name')} has no ticks")
            self.ticks.setdefault(row_name(str(run.get("run_name"))), []).append(
                float(run["ticks"])
            )
        if not self.ticks:
            raise Unusable(
                f"{path}: holds no single repetitions, only aggregates "
                f"(written by an older thread-start-bench?)"
            )

    def label(self):
        c = self.context
        return (f"{c.get('host_name', '?')}, Linux {c.get('kernel', '?')}, "
                f"CPUs {c.get('affinity', '?')}, "
                f"{str(c.get('date', '?'))[:16].replace('T', ' ')}")

    def describe(self):
        c = self.context
        keys = ["host_name", "date", "kernel", "libc", "cpu_model", "affinity",
                "virtualization", "tunables", "program"]
        return "\n".join(f"  {k}: {c.get(k, '?')}" for k in keys)


def summary(np, values):
    """Median (as Google Benchmark computes it) and the nearest-rank 90th
    and 99th percentiles (as the bench does)."""
    p90, p99 = np.percentile(values, [90, 99], method="inverted_cdf")
    return np.median(values), p90, p99


def median_gap(np, stats, a, b, seed):
    """Difference of the medians of a and b, and its bootstrap interval."""
    a = np.asarray(a)
    b = np.asarray(b)
    result = stats.bootstrap(
        (a, b),
        lambda x, y, axis: np.median(x, axis=axis) - np.median(y, axis=axis),
        vectorized=True,
        paired=False,
        confidence_level=CONFIDENCE,
        n_resamples=RESAMPLES,
        method="percentile",
        random_state=np.random.default_rng(seed),
    )
    ci = result.confidence_interval
    return np.median(a) - np.median(b), ci.low, ci.high


def rows_of(results):
    """Rows in the bench's order, then any others in the files."""
    known = PROCESS_ROWS + ["warm_create_join"]
    seen = {row for r in results for row in r.ticks}
    return [row for row in known if row in seen] + sorted(seen - set(known))


def one_file(r):
    np = need("numpy", "python3-numpy")
    stats = need("scipy.stats", "python3-scipy")
    print(f"{r.path}:")
    print(r.describe())
    print()
    print(f"{'row':<28} {'runs':>5} {'median':>9} {'p90':>9} {'p99':>9}   ticks")
    for row in rows_of([r]):
        med, p90, p99 = summary(np, r.ticks[row])
        print(f"{row:<28} {len(r.ticks[row]):>5} {med:>9.1f} {p90:>9.1f} {p99:>9.1f}")
    print()
    print(f"gaps: difference of medians in ticks, [{CONFIDENCE:.0%} bootstrap confidence interval]")
    for seed, (name, a, b) in enumerate(GAPS):
        what = f"{a} - {b}"
        if a not in r.ticks or b not in r.ticks:
            print(f"{name:<15} {what:<50} not measured in this file")
            continue
        gap, low, high = median_gap(np, stats, r.ticks[a], r.ticks[b], seed)
        print(f"{name:<15} {what:<50} {gap:>7.1f}  [{low:.1f}, {high:.1f}]")


def several_files(results):
    np = need("numpy", "python3-numpy")
    stats = need("scipy.stats", "python3-scipy")
    for i, r in enumerate(results, 1):
        print(f"[{i}] {r.path}: {r.label()}")
    print()
    print("median ticks per file; change against [1], Mann-Whitney U p-value")
    header = f"{'row':<28} {'[1]':>9}"
    for i in range(2, len(results) + 1):
        header += f" {f'[{i}]':>9} {'change':>8} {'p':>8}"
    print(header)
    for row in rows_of(results):
        base = results[0].ticks.get(row)
        line = f"{row:<28} " + (f"{np.median(base):>9.1f}" if base else f"{'-':>9}")
        for r in results[1:]:
            other = r.ticks.get(row)
            if not other:
                line += f" {'-':>9} {'':>8} {'':>8}"
                continue
            line += f" {np.median(other):>9.1f}"
            if not base:
                line += f" {'':>8} {'':>8}"
                continue
            change = (np.median(other) - np.median(base)) / np.median(base)
            p = stats.mannwhitneyu(base, other, alternative="two-sided").pvalue
            line += f" {change:>+8.1%} {p:>8.2g}"
        print(line)


def plot(results, out):
    if not out.endswith((".png", ".svg")):
        raise Unusable(f"--plot {out}: the picture's name must end in .png or .svg")
    np = need("numpy", "python3-numpy")
    matplotlib = need("matplotlib", "python3-matplotlib")
    matplotlib.use("Agg")
    plt = need("matplotlib.pyplot", "python3-matplotlib")
    rows = [row for row in PROCESS_ROWS if any(row in r.ticks for r in results)]
    if not rows:
        raise Unusable("--plot: the files hold no process rows to draw")
    columns = 2 if len(rows) > 1 else 1
    lines = (len(rows) + columns - 1) // columns
    fig, axes = plt.subplots(lines, columns,
                             figsize=(5 * columns, 2.6 * lines + 0.8 + 0.25 * len(results)),
                             sharex=True, sharey=True, squeeze=False)
    for ax in axes.flat[len(rows):]:
        ax.set_visible(False)
    for ax, row in zip(axes.flat, rows):
        for i, r in enumerate(results, 1):
            if row not in r.ticks:
                continue
            x = np.sort(r.ticks[row])
            y = np.arange(1, len(x) + 1) / len(x)
            ax.step(x, y, where="post", label=f"[{i}] {r.label()}, {len(x)} runs")
        ax.set_title(row, fontsize=10)
        ax.set_xscale("log")
        ax.grid(True, which="both", alpha=0.3)
    for ax in axes[:, 0]:
        ax.set_ylabel("fraction of runs")
    for ax in axes.flat[len(rows) - columns:len(rows)]:
        ax.set_xlabel("ticks (µs of processor time), log scale")
        ax.xaxis.set_tick_params(labelbottom=True)
    fig.suptitle("thread-start-bench: distribution of ticks (empirical CDF)", fontsize=11)
    labels = {}
    for ax in axes.flat[:len(rows)]:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            labels.setdefault(label.rsplit(", ", 1)[0], handle)
    fig.legend(labels.values(), labels.keys(), loc="lower center", fontsize=8)
    fig.tight_layout(rect=(0, 0.045 * len(results) + 0.02, 1, 1))
    try:
        fig.savefig(out, dpi=80)
    except OSError as error:
        raise Unusable(f"--plot {out}: {error.strerror}") from None


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Unusable(message)


def main(argv):
    parser = Parser(
        prog=PROG,
        description="Summarise one thread-start-bench JSON file, or compare several.",
        epilog="Exit status: 0 done, 2 a usage error, an unusable file or a missing library.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE.json",
                        help="written by thread-start-bench --benchmark_out=FILE.json")
    parser.add_argument("--plot", metavar="OUT.png|OUT.svg",
                        help="draw the distributions of the process rows")
    args = parser.parse_args(argv)
    results = [Results(path) for path in args.files]
    if len(results) == 1:
        one_file(results[0])
    else:
        several_files(results)
    if args.plot:
        plot(results, args.plot)
        print(f"\npicture: {args.plot}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unusable as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        sys.exit(2)
