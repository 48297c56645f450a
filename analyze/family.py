"""One error rate for a report that tests several things at once.

A report of many tests (rows, sides, levers, counters) is read as a whole:
what matters is the chance that any of its `differs` is false. Each test
gives its own p-value; the family's cut is the largest p at or below which
a test is called a change, so that among the orders of the runs that the
null makes equally likely (every split of the runs into sides, every sign
of each run's difference) the least p of the family falls at or below it
in at most 5 % of them. The least p is taken over the whole family in each
order, so tests that move together, as a machine's rows do, cost less than
their number; the observed order is one of those counted, so the level
holds exactly where every order is enumerated and within the draw where
they are sampled (the maximum statistic of Westfall and Young, single
step)."""

from __future__ import annotations

import numpy as np

from . import statistics as st

# The chance of any false `differs` in a report.
FAMILY_LEVEL = 1 - st.CONFIDENCE


def family_cut(least_ps: st.Values, level: float = FAMILY_LEVEL) -> float:
    """The largest p, among the least p-values of the family in each order
    of the runs (`least_ps`, the observed order among them), at or below
    which at most `level` of the orders fall; 0 where none is, so that no
    test can be called a change."""
    m = np.sort(st.floats(least_ps))
    allowed = int(np.floor(level * len(m) + 1e-9))
    if allowed == 0:
        return 0.0
    values = np.unique(m)
    at_or_below = np.searchsorted(m, values, side="right")
    kept = values[at_or_below <= allowed]
    return float(kept[-1]) if len(kept) else 0.0
