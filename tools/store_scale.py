"""Measures the results store at the scale of a fleet: HOSTS hosts measured
once a day for DAYS days. Each generated run is a real results file (of
--runs, taken in turn) with the host name and label host001... and a date
one day after the last; the files are written a batch at a time in a
temporary directory and added through the real command line,
thread-start-analyze store add PATH FILE.... It prints the store's size, the
rate of adding (the store add calls' own time, the writing of the files
apart) and the time of stored_runs over everything.

    /usr/bin/python3 tools/store_scale.py [--hosts 100] [--days 365]
        [--runs /var/tmp/quiet-runs] [--store PATH]
"""

from __future__ import annotations

import argparse
import datetime as dt
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from analyze.store import stored_runs  # noqa: E402

# The files added by one store add call.
BATCH = 500
FIRST_DAY = dt.datetime(2026, 1, 1, 6, 0, tzinfo=dt.timezone.utc)


def with_host(text: str, host: str, date: str) -> str:
    """The results file's text with another host name, label and date:
    each entry is replaced where the context has it, once (a run made
    without --label keeps none)."""
    for key, value in (("host_name", host), ("label", host), ("date", date)):
        start = text.find(f'"{key}": "')
        if start < 0 and key == "label":
            continue
        value_start = start + len(key) + 5
        end = text.index('"', value_start)
        text = text[:value_start] + value + text[end:]
    return text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hosts", type=int, default=100)
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--runs", default="/var/tmp/quiet-runs")
    parser.add_argument("--store", help="the store made (default: in a temporary directory)")
    args = parser.parse_args()
    sources = []
    for path in sorted(glob.glob(os.path.join(args.runs, "*.json"))):
        with open(path, encoding="utf-8") as f:
            sources.append(f.read())
    if not sources:
        print(f"store_scale: no results files in {args.runs}", file=sys.stderr)
        return 2
    scratch = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    store = args.store or os.path.join(tempfile.mkdtemp(dir="/var/tmp"), "store.db")
    analyze = [sys.executable, "-m", "analyze", "store", "add", store]
    adding = writing = 0.0
    made = 0
    try:
        plan = [(h, d) for d in range(args.days) for h in range(1, args.hosts + 1)]
        for at in range(0, len(plan), BATCH):
            began = time.perf_counter()
            files = []
            for host, day in plan[at:at + BATCH]:
                date = (FIRST_DAY + dt.timedelta(days=day)).isoformat()
                path = os.path.join(scratch, f"host{host:03d}-day{day:03d}.json")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(with_host(sources[made % len(sources)], f"host{host:03d}", date))
                files.append(path)
                made += 1
            writing += time.perf_counter() - began
            began = time.perf_counter()
            subprocess.run(analyze + files, check=True, cwd=ROOT, stdout=subprocess.DEVNULL)
            adding += time.perf_counter() - began
            for path in files:
                os.unlink(path)
            print(f"{made} runs: {made / adding:.0f} runs/s", file=sys.stderr, flush=True)
        began = time.perf_counter()
        runs = stored_runs(store)
        query = time.perf_counter() - began
        size = os.path.getsize(store)
        print(f"runs: {made} ({args.hosts} hosts x {args.days} days, "
              f"{len(sources)} real runs in turn)")
        print(f"stored: {len(runs)} runs, {sum(len(r.medians) for r in runs)} medians")
        print(f"size: {size / 2**20:.0f} MiB ({size / made / 1024:.1f} KiB a run)")
        print(f"adding: {made / adding:.0f} runs/s ({adding:.0f} s; writing the files "
              f"{writing:.0f} s apart)")
        print(f"stored_runs over everything: {query:.2f} s")
    finally:
        shutil.rmtree(scratch)
        if not args.store:
            shutil.rmtree(os.path.dirname(store))
    return 0


if __name__ == "__main__":
    sys.exit(main())
