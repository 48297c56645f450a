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

The modules: __main__ the command line, errors what is refused and how,
reader the results files, statistics the numbers, paired the paired tests
and their family by sign flips, tables the output
formats, files, answer, one_file, sides and fleet the reports, plot the picture.
Importing the package imports none of numpy, scipy and matplotlib: each
module that needs one imports it, and only the calls that need it import
that module.
"""
