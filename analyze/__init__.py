"""thread-start-analyze: summarise and compare thread-start-bench results.

One file: first the answer (the thread starts, the first line, the
program's ticks, CPU and wall time, each lever's change and verdict); then
each row's median, p90 and p99 of ticks; the gaps between rows;
where the ticks go (the parts of program_parts/default); and what each
lever and variant moves, each a difference of medians with an interval
from order statistics (95 %, the levers' together), from 6 repetitions on
for a median. Several files: each side's median of its
runs' medians, the difference and change, and with enough runs a side 95 %
intervals with a verdict; each run's median and load on request.
--fleet: one line per host, with the hosts that stand out marked.

The modules, the one list of them: __main__.py the command line, with one
function per command and the older command line; errors.py what is
refused and how; reader.py reading and checking a results file;
statistics.py the medians, intervals and rank tests (numpy and scipy),
estimates.py their results as plain data; family.py one error rate for a
report's tests; paired.py the paired tests and their family by sign
flips; effects.py a run's medians and gaps with their intervals, each
lever's effect and the one rule from an interval to a verdict; answer.py
the answer's lines; one_file.py, label_runs.py (several
runs of one label), sides.py and fleet.py the four reports; history.py
the history of a store's runs and its detector of change points; store.py
the results store: its schema, codec and queries; rounds.py the
intervals of a run made in rounds
(--precision); files.py the files' table and context; noise.py
whether a run was disturbed; lead.py the lines a report opens with;
tables.py columns as name and alignment, printed as text, Markdown or
CSV; plot.py the picture (the only module that imports matplotlib). The
launcher thread-start-analyze.in runs the package installed or from the
source tree.

Importing the package imports none of numpy, scipy and matplotlib: each
module that needs one imports it, and only the calls that need it import
that module.
"""
