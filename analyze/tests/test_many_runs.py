"""The rank test's interval over many runs a side: the same shifts kept as
testing every shift that matters (with the values' ties broken), after a number of tests that grows with
the logarithm of the shifts, not with them (which made comparing 200 runs
a side take minutes)."""

from __future__ import annotations

import math
import unittest
from typing import Any
from unittest import mock

import numpy as np
from scipy import stats

from analyze import statistics as st
from analyze.estimates import Interval

# The values that a side may have: most tests, in all, for n runs a side.
MOST_TESTED_PER_RUN = 200


def every_shift(a: list[float], b: list[float]) -> Interval:
    """The interval by definition: each shift between two differences
    tested, the span of those kept. The test is that of the values without
    their ties (each value moved by less than any difference between
    differences, in the order given), as the interval's U has no ties."""
    x, y = np.asarray(a, float), np.asarray(b, float)
    d = np.unique(np.subtract.outer(y, x).ravel())
    mids = np.concatenate(([d[0] - 1], (d[:-1] + d[1:]) / 2, [d[-1] + 1]))
    nudge = (np.min(np.diff(d)) if len(d) > 1 else 1.0) / 4 / (len(x) + len(y))
    x = x + np.arange(len(x)) * nudge
    y = y + (np.arange(len(y)) + len(x)) * nudge
    kept = [i for i, s in enumerate(mids)
            if stats.mannwhitneyu(y - s, x, alternative="two-sided").pvalue >= 0.05]
    if not kept:
        return Interval(math.nan, math.nan)
    return Interval(float(d[kept[0] - 1]) if kept[0] > 0 else -math.inf,
                    float(d[kept[-1]]) if kept[-1] < len(d) else math.inf)


def sides(seed: int, n: int, m: int, shift: float, ties: bool) -> tuple[list[float], list[float]]:
    rng = np.random.default_rng(seed)
    a, b = rng.normal(100, 5, n), rng.normal(100 + shift, 5, m)
    if ties:
        a, b = np.round(a), np.round(b)
    return list(a), list(b)


# case, runs of side A, of side B, shift, values rounded (ties)
CASES = (
    ("4 against 4, apart", 4, 4, 20, False),
    ("5 against 7, together", 5, 7, 0, False),
    ("8 against 8, exact test", 8, 8, 3, False),
    ("9 against 6 with ties", 9, 6, 2, True),
    ("30 against 30 with ties", 30, 30, 1, True),
    ("40 against 25, apart", 40, 25, 10, False),
    ("60 against 60, together", 60, 60, 0, False),
)


class ManyRuns(unittest.TestCase):
    def test_the_interval_is_that_of_every_shift(self) -> None:
        for seed, (case, n, m, shift, ties) in enumerate(CASES):
            with self.subTest(case=case):
                a, b = sides(seed, n, m, shift, ties)
                got = st.shift_interval(a, b).interval
                want = every_shift(a, b)
                self.assertTrue(got == want or (math.isnan(got.low) and math.isnan(want.low)),
                                f"{got} != {want}")

    def test_few_tests_for_many_runs(self) -> None:
        for case, runs in (("200 runs a side", 200), ("400 runs a side", 400)):
            with self.subTest(case=case):
                a, b = sides(1, runs, runs, 1, False)
                tested = 0
                mannwhitneyu = stats.mannwhitneyu

                def counted(y: Any, x: Any, **kwargs: Any) -> Any:
                    nonlocal tested
                    tested += np.size(y) + np.size(x)
                    if tested > MOST_TESTED_PER_RUN * runs:
                        raise AssertionError(f"more than {MOST_TESTED_PER_RUN * runs} "
                                             f"values tested")
                    return mannwhitneyu(y, x, **kwargs)

                with mock.patch.object(stats, "mannwhitneyu", counted):
                    st.shift_interval(a, b)


if __name__ == "__main__":
    unittest.main()
