"""The statistics, as functions, on samples whose answers are known."""

from __future__ import annotations

import math
import unittest

import numpy as np
from scipy import stats

from analyze import statistics as st
from analyze.estimates import (LEAST_FOR_INTERVAL, Change, Estimate, Interval, Reading,
                               change_of, reading_of)


class MedianAndPercentiles(unittest.TestCase):
    def test_median_of_odd_and_even_samples(self) -> None:
        self.assertEqual(st.median([3, 1, 2]), 2.0)
        self.assertEqual(st.median([4, 1, 3, 2]), 2.5)

    def test_percentiles_are_nearest_rank(self) -> None:
        # The value at rank ceil(p / 100 * n), never one between two.
        self.assertEqual(st.percentiles([4, 1, 10, 7, 3, 9, 2, 8, 6, 5], [90, 99]), [9.0, 10.0])
        self.assertEqual(st.percentiles(range(1, 101), [50, 90, 99, 100]),
                         [50.0, 90.0, 99.0, 100.0])
        self.assertEqual(st.percentiles([1.5, 2.5], [50, 51]), [1.5, 2.5])


class Changes(unittest.TestCase):
    def test_a_change_is_the_new_less_the_base_in_percent_of_the_base(self) -> None:
        self.assertEqual(change_of(110, 100), Change(10, 10.0))
        self.assertEqual(change_of(75, 100), Change(-25, -25.0))
        self.assertEqual(change_of(0, 4).percent, -100.0)

    def test_no_percent_of_a_base_of_0(self) -> None:
        self.assertEqual(change_of(5, 0), Change(5, None))
        self.assertEqual(change_of(0, 0), Change(0, None))


class Intervals(unittest.TestCase):
    def test_the_percentile_interval_holds_the_middle_95_percent(self) -> None:
        for draws in (np.arange(1001), np.arange(1001)[::-1]):
            low, high = st.percentile_interval(draws)
            self.assertAlmostEqual(low, 25.0)
            self.assertAlmostEqual(high, 975.0)

    def test_resampled_medians_of_an_odd_sample_follow_the_binomial(self) -> None:
        # A resample's median of 11 values is at most the sample's k-th
        # smallest when at least 6 of its 11 draws are among the k smallest.
        n = 11
        medians = st.resampled_medians(np.arange(n) * 10.0, np.random.default_rng(5))
        self.assertEqual(len(medians), st.RESAMPLES)
        for k in range(1, n):
            exact = float(stats.binom.sf(n // 2, n, k / n))
            drawn = float(np.mean(medians <= (k - 1) * 10.0))
            self.assertAlmostEqual(drawn, exact, delta=0.02, msg=f"at most value {k}")

    def test_resampled_medians_of_an_even_sample_as_resampling_every_value(self) -> None:
        rng = np.random.default_rng(6)
        sample = rng.exponential(10, 10)
        medians = st.resampled_medians(sample, np.random.default_rng(7))
        brute = np.median(rng.choice(sample, (40000, len(sample))), axis=1)
        for q in (2.5, 25, 50, 75, 97.5):
            self.assertAlmostEqual(float(np.percentile(medians, q)),
                                   float(np.percentile(brute, q)), delta=0.6, msg=f"{q} %")
        # Of a symmetric sample, centred on its median.
        centred = st.resampled_medians(np.arange(10.0), np.random.default_rng(8))
        self.assertAlmostEqual(float(np.mean(centred)), 4.5, delta=0.05)

    def test_a_median_interval_lies_around_the_median_low_then_high(self) -> None:
        med, (low, high) = st.median_interval(np.arange(1, 102), 0)
        self.assertEqual(med, 51)
        self.assertTrue(41 <= low < 51 < high <= 61, (low, high))
        # The sample is symmetric, and so is the interval, within a value.
        self.assertLessEqual(abs(low + high - 102), 2)

    def test_a_gap_is_the_first_median_less_the_second(self) -> None:
        a, b = np.arange(100.0) + 50, np.arange(100.0)
        gap = st.median_gap(a, b, 1)
        self.assertEqual(gap.value, 50)
        self.assertTrue(gap.interval.low < 50 < gap.interval.high, gap)
        self.assertLess(gap.interval.high - gap.interval.low, 40)
        reverse = st.median_gap(b, a, 1)
        self.assertEqual(reverse.value, -50)
        self.assertTrue(reverse.interval.low < -50 < reverse.interval.high, reverse)

    def test_a_paired_gap_keeps_what_both_rows_share(self) -> None:
        # Each repetition of b is its partner of a and 10 more: every paired
        # resample differs by exactly 10, however far the repetitions drift.
        # Whole numbers, so that every sum and half of one is exact.
        a = np.random.default_rng(9).integers(0, 1000, 200).astype(np.float64)
        self.assertEqual(st.paired_median_gap(a, a + 10, 2), Estimate(-10, Interval(-10, -10)))
        unpaired = st.paired_median_gap(a, np.append(a + 10, 500.0), 2)
        self.assertGreater(unpaired.interval.high - unpaired.interval.low, 50)


class RankTest(unittest.TestCase):
    def test_the_shifts_that_the_rank_test_does_not_reject(self) -> None:
        # 25 distinct differences; of 5 values against 5 the test rejects a
        # U of 2 or less (p = 0.032) and keeps 3 (p = 0.056): the shifts
        # from the 3rd smallest difference to the 3rd largest.
        a, b = [0, 1, 2, 3, 4], [0, 10, 20, 30, 40]
        self.assertEqual(st.shift_interval(a, b).interval, Interval(-2, 38))
        self.assertEqual(st.shift_interval(b, a).interval, Interval(-38, 2))

    def test_four_runs_against_four_reject_only_the_extreme_shifts(self) -> None:
        before, after = [100, 102, 98, 101], [120, 119, 121, 122]
        test = st.shift_interval(before, after)
        # From the least difference of the runs to the greatest.
        self.assertEqual(test.interval, Interval(17, 24))
        self.assertTrue(test.interval.excludes_zero())
        self.assertLess(test.p_value, 0.05)
        same = st.shift_interval(before, [99, 103, 100, 97])
        self.assertEqual(same.interval, Interval(-5, 5))
        self.assertFalse(same.interval.excludes_zero())

    def test_fewer_than_four_runs_a_side_reject_nothing(self) -> None:
        interval = st.shift_interval([1, 2, 3], [11, 12, 13]).interval
        self.assertEqual(interval, Interval(-math.inf, math.inf))

    def test_runs_that_agree_exactly_get_the_interval_and_verdict_of_the_test(self) -> None:
        # (side a, side b, interval of b - a), one a line: the ends are
        # differences themselves, closed.
        cases = [([50, 50, 50, 50], [48, 48, 48, 48], Interval(-2, -2)),
                 ([50, 50, 50, 51], [48, 48, 48, 48], Interval(-3, -2)),
                 ([48, 48, 48, 48], [50, 50, 50, 50], Interval(2, 2)),
                 ([50, 50, 50, 50], [50, 50, 50, 50], Interval(0, 0)),
                 ([50, 50, 50, 50, 50], [48, 49, 48, 49, 48], Interval(-2, -1))]
        for a, b, interval in cases:
            test = st.shift_interval(a, b)
            self.assertEqual(test.interval, interval, (a, b))
        agreeing = st.shift_interval([50] * 4, [48] * 4)
        self.assertTrue(agreeing.interval.excludes_zero())
        self.assertLess(agreeing.p_value, 0.05)

    def test_the_ends_are_the_shifts_where_the_test_turns(self) -> None:
        # Of tie-free values, the test keeps a shift at each end of the
        # interval and rejects one just beyond it.
        rng = np.random.default_rng(3)
        for m, n in ((4, 4), (5, 7), (9, 6), (12, 12)):
            x = rng.permutation(m * n * 4)[:m].astype(np.float64)
            y = rng.permutation(m * n * 4)[:n].astype(np.float64) + 0.25
            low, high = st.shift_interval(x, y).interval

            def p(shift: float) -> float:
                return float(stats.mannwhitneyu(y - shift, x, alternative="two-sided").pvalue)

            for shift, kept in ((low + 0.001, True), (high - 0.001, True),
                                (low - 0.001, False), (high + 0.001, False)):
                self.assertEqual(p(shift) >= 0.05, kept, (m, n, shift))

    def test_p_values_of_u_for_values_without_ties(self) -> None:
        # (sizes of a and b, U, p), one a line: exact for small sides, the
        # normal approximation beyond, as the test itself chooses.
        rng = np.random.default_rng(4)
        for m, n in ((4, 4), (3, 9), (8, 20), (200, 200)):
            for _ in range(5):
                x, y = rng.normal(size=m), rng.normal(size=n) + 0.3
                test = stats.mannwhitneyu(y, x, alternative="two-sided")
                self.assertAlmostEqual(st.tie_free_p_value(m, n, int(test.statistic)),
                                       test.pvalue, msg=(m, n))
        self.assertAlmostEqual(st.tie_free_p_value(4, 4, 0), 2 / 70)
        self.assertAlmostEqual(st.tie_free_p_value(4, 4, 16), 2 / 70)
        self.assertAlmostEqual(st.tie_free_p_value(4, 4, 1), 4 / 70)

    def test_least_u_kept(self) -> None:
        # The least U whose p-value is kept, against a search of every U
        # one by one; sizes whose range of U is cut several times.
        for m, n in ((1, 1), (3, 3), (4, 4), (4, 6), (6, 6), (5, 40), (7, 300), (20, 25),
                     (60, 90)):
            with self.subTest(m=m, n=n):
                us = np.arange(m * n // 2 + 1)
                p = st.tie_free_p_values(m, n, us)
                self.assertEqual(st.least_kept(m, n), int(us[np.argmax(p >= 0.05)]))
        self.assertEqual(st.least_kept(6, 6), 6)
        self.assertEqual(st.least_kept(3, 3), 0)

    def test_p_and_interval_against_r(self) -> None:
        # p and the interval of b - a, m against n (3 <= m <= n <= 20 in
        # order), from R 4.2.2's wilcox.test(b, a, conf.int=TRUE, exact=TRUE)
        # on the values below, without ties. R gives a bounded interval where
        # no U can be rejected; the test's is unbounded then.
        known = [
            0.4, -90.5, 26.5,  1.0, -60.5, 56.5,  0.78571, -80.5, 39.5,  0.71429, -47.5, 66.5,
            0.66667, -67.5, 49.5,  0.27879, -84.5, 26.5,  0.86364, -54.5, 59.5,
            0.46853, -71.5, 36.5,  0.45604, -41.5, 69.5,  0.73407, -58.5, 46.5,
            0.36429, -78.5, 29.5,  0.76765, -45.5, 56.5,  0.57353, -65.5, 39.5,
            0.30341, -32.5, 66.5,  1.0, -52.5, 49.5,  0.30677, -69.5, 26.5,  0.52338, -39.5, 59.5,
            0.63467, -56.5, 36.5,  0.11429, -90.5, 26.5,  0.90476, -57.5, 56.5,
            0.35238, -74.5, 33.5,  0.52727, -23.5, 63.5,  0.68283, -43.5, 25.5,
            0.14825, -63.5, 23.5,  0.94505, -33.5, 38.5,  0.48938, -50.5, 21.5,
            0.52088, -20.5, 48.5,  0.87059, -37.5, 31.5,  0.15752, -57.5, 8.5,  0.6646, -24.5, 41.5,
            0.49412, -44.5, 18.5,  0.31679, -14.5, 54.5,  0.96705, -34.5, 31.5,
            0.25048, -53.5, 14.5,  0.57538, -23.5, 43.5,  0.09524, -90.5, 23.5,
            0.66234, -60.5, 32.5,  0.26768, -74.5, 12.5,  0.94328, -44.5, 39.5,
            0.43756, -61.5, 22.5,  0.03996, -81.5, -0.5,  0.82692, -48.5, 32.5,
            0.15999, -65.5, 9.5,  0.70285, -23.5, 42.5,  0.3913, -52.5, 21.5,  0.08062, -63.5, 4.5,
            0.84171, -39.5, 32.5,  0.2488, -50.5, 14.5,  0.5382, -23.5, 42.5,  0.58084, -40.5, 25.5,
            0.08323, -63.5, 4.5,  0.09307, -84.5, 13.5,  0.83566, -33.5, 46.5,
            0.22844, -53.5, 15.5,  0.52867, -17.5, 48.5,  0.42782, -40.5, 25.5,
            0.12153, -54.5, 8.5,  0.96359, -27.5, 35.5,  0.28181, -43.5, 18.5,
            0.39701, -14.5, 45.5,  0.62218, -31.5, 28.5,  0.09803, -51.5, 5.5,
            0.75917, -20.5, 40.5,  0.27959, -40.5, 17.5,  0.19775, -10.5, 51.5,
            0.74447, -30.5, 28.5,  0.07284, -67.5, 5.5,  0.77887, -37.5, 29.5,
            0.17378, -53.5, 12.5,  0.66907, -23.5, 38.5,  0.47895, -40.5, 21.5,
            0.03584, -60.5, -1.5,  0.93847, -27.5, 31.5,  0.14895, -47.5, 8.5,  0.3322, -14.5, 41.5,
            0.53459, -34.5, 18.5,  0.06455, -52.5, 1.5,  0.7903, -22.5, 29.5,  0.25421, -40.5, 12.5,
            0.2404, -10.5, 40.5,  0.02067, -70.5, -7.5,  0.67297, -34.5, 26.5,  0.05453, -57.5, 2.5,
            0.84039, -23.5, 36.5,  0.20829, -43.5, 11.5,  0.02461, -60.5, -4.5,
            0.66423, -31.5, 22.5,  0.10056, -48.5, 5.5,  0.6968, -20.5, 34.5,  0.37442, -37.5, 15.5,
            0.01873, -57.5, -5.5,  0.97927, -25.5, 27.5,  0.11034, -45.5, 5.5,  0.05031, -60.5, 2.5,
            0.60378, -31.5, 26.5,  0.13081, -47.5, 9.5,  0.75437, -18.5, 35.5,
            0.32373, -37.5, 19.5,  0.02754, -57.5, -4.5,  0.90702, -24.5, 28.5,
            0.10763, -44.5, 5.5,  0.39581, -12.5, 39.5,  0.37514, -32.5, 17.5,  0.0477, -50.5, -0.5,
            0.94471, -20.5, 27.5,  0.01469, -64.5, -10.5,  0.7045, -30.5, 25.5,
            0.04257, -51.5, -0.5,  0.60491, -17.5, 32.5,  0.19153, -38.5, 9.5,
            0.01921, -55.5, -7.5,  0.77599, -27.5, 21.5,  0.08322, -44.5, 4.5,
            0.43566, -14.5, 31.5,  0.37738, -31.5, 14.5,  0.01666, -52.5, -7.5,
            0.03998, -54.5, -1.5,  0.88011, -27.5, 25.5,  0.11912, -43.5, 6.5,
            0.43424, -14.5, 35.5,  0.53995, -31.5, 17.5,  0.02285, -52.5, -4.5,
            0.78142, -20.5, 28.5,  0.13383, -40.5, 6.5,  0.18527, -8.5, 38.5,  0.64014, -28.5, 17.5,
            0.02049, -54.5, -4.5,  0.9787, -21.5, 28.5,  0.11793, -41.5, 5.5,  0.29954, -10.5, 38.5,
            0.50702, -30.5, 16.5,  0.03804, -47.5, -1.5,  0.81874, -18.5, 27.5,
            0.21978, -36.5, 9.5,  0.16952, -6.5, 38.5,  0.0191, -53.5, -4.5,  0.79295, -23.5, 22.5,
            0.09772, -40.5, 5.5,  0.3983, -11.5, 32.5,  0.45705, -28.5, 15.5,  0.01382, -50.5, -5.5,
            0.82055, -17.5, 25.5,  0.10978, -37.5, 4.5,  0.0162, -50.5, -6.5,  0.77999, -17.5, 26.5,
            0.10113, -38.5, 4.5,  0.17334, -5.5, 36.5,  0.53604, -26.5, 15.5,  0.03172, -44.5, -2.5,
            0.59229, -14.5, 26.5,  0.01855, -48.5, -4.5,  0.86086, -18.5, 23.5,
            0.14246, -36.5, 5.5,  0.20224, -7.5, 34.5,  0.7065, -24.5, 16.5,  0.0191, -45.5, -4.5,
            0.00661, -50.5, -8.5,  0.90104, -18.5, 22.5,  0.0697, -38.5, 2.5,  0.20516, -7.5, 34.5,
            0.45915, -27.5, 12.5,  0.01774, -45.5, -5.5,  0.83228, -16.5, 22.5,
            0.12146, -34.5, 5.5,  0.13261, -4.5, 34.5,  0.0064, -47.5, -8.5,  0.66319, -14.5, 23.5,
            0.08191, -35.5, 2.5,  0.00683, -47.5, -8.5,  0.92257, -18.5, 20.5,
            0.00672, -46.5, -8.5,
        ]
        sizes = [(m, n) for m in range(3, 21) for n in range(m, 21)]
        self.assertEqual(len(known), 3 * len(sizes))
        for (m, n), p, low, high in zip(sizes, known[::3], known[1::3], known[2::3]):
            a = [(i * 37) % 101 for i in range(1, m + 1)]
            shift = (m * 7 + n * 3) % 5 * 10 - 20
            b = [(j * 53) % 103 + 0.5 + shift for j in range(1, n + 1)]
            test = st.shift_interval(a, b)
            self.assertTrue(test.exact, (m, n))
            self.assertAlmostEqual(test.p_value, p, delta=6e-6, msg=(m, n))
            expected = (Interval(low, high) if st.least_p(m, n) <= 0.05
                        else Interval(-math.inf, math.inf))
            self.assertEqual(test.interval, expected, (m, n))

    def test_p_and_interval_agree_with_ties(self) -> None:
        # 1,000 tied samples of 3 to 12 runs a side, at several cuts: p <=
        # cut exactly where the interval leaves out 0.
        rng = np.random.default_rng(5)
        for case in range(1000):
            m, n = rng.integers(3, 13, 2)
            a = rng.integers(0, 6, m).astype(float)
            b = rng.integers(0, 6, n) + rng.integers(-2, 3)
            cut = (0.05, 0.01, 0.2, 0.003)[case % 4]
            if case % 50 == 0:  # every value tied
                a, b = np.zeros(m), np.zeros(n)
            test = st.rank_test(a, b, cut)
            self.assertEqual(test.p_value <= cut, test.interval.excludes_zero(),
                             (case, a, b, cut))

    def test_least_p_and_runs_for_a_verdict(self) -> None:
        # (m, n, least p): 2 / C(m + n, m); 3 against 5 can reach 0.05.
        for m, n, p in ((3, 3, 0.1), (3, 5, 2 / 56), (4, 4, 2 / 70), (6, 6, 2 / 924),
                        (1, 1, 1.0)):
            self.assertAlmostEqual(st.least_p(m, n), p, 12, (m, n))
        self.assertEqual([st.least_runs_a_side(c) for c in (0.05, 0.005)], [4, 6])

    def test_verdicts(self) -> None:
        self.assertTrue(Interval(0.5, 3).excludes_zero())
        self.assertTrue(Interval(-3, -0.5).excludes_zero())
        self.assertFalse(Interval(-3, 0).excludes_zero())
        self.assertFalse(Interval(math.nan, math.nan).excludes_zero())


class RunsAsTheUnit(unittest.TestCase):
    def test_the_sign_test_s_ranks_of_a_median_s_interval(self) -> None:
        # (values, ranks of the interval's ends), from binomial tables.
        cases = [(5, None), (6, (1, 6)), (8, (1, 8)), (9, (2, 8)), (10, (2, 9)),
                 (20, (6, 15)), (100, (40, 61))]
        for n, ranks in cases:
            self.assertEqual(st.order_interval_ranks(n), ranks, n)
        self.assertEqual(st.least_runs(), 6)

    def test_too_few_repetitions_the_same_number_as_too_few_runs(self) -> None:
        # The one-file report's limit, kept without scipy, is the sign
        # test's: all n values on one side of the median, 2 ** (1 - n), is
        # at most 5 % from 6 on.
        self.assertEqual(LEAST_FOR_INTERVAL, st.least_runs())
        self.assertLessEqual(2 ** (1 - LEAST_FOR_INTERVAL), 0.05)
        self.assertGreater(2 ** (2 - LEAST_FOR_INTERVAL), 0.05)
        # reading_of: (estimate, fewest values behind it, the interval kept)
        estimate = Estimate(5.0, Interval(1.0, 9.0))
        cases = [(2, None), (5, None), (6, estimate.interval), (200, estimate.interval)]
        for fewest, kept in cases:
            self.assertEqual(reading_of(estimate, fewest), Reading(5.0, kept), fewest)

    def test_the_median_of_runs_and_its_interval(self) -> None:
        # (one value a run, the estimate or None), one a line.
        cases = [([3, 1, 2, 5, 4], None),
                 ([50, 48, 49, 51, 47, 52], Estimate(49.5, Interval(47, 52))),
                 ([-2] * 6, Estimate(-2, Interval(-2, -2))),
                 ([9, 1, 8, 2, 7, 3, 6, 4, 5, 10], Estimate(5.5, Interval(2, 9))),
                 ([-1, -3, -2, 4, -5, -6], Estimate(-2.5, Interval(-6, 4)))]
        for values, estimate in cases:
            self.assertEqual(st.median_of_runs(values), estimate, values)

    def test_an_interval_from_runs_holds_the_median_95_percent_of_the_time(self) -> None:
        rng = np.random.default_rng(1)
        for n in (6, 9, 30):
            held = 0
            for _ in range(2000):
                e = st.median_of_runs(rng.normal(size=n))
                assert e is not None
                held += e.interval.low <= 0 <= e.interval.high
            self.assertGreaterEqual(held / 2000, 0.94, n)


class Spreads(unittest.TestCase):
    def test_the_spread_of_run_medians_is_their_scaled_mad(self) -> None:
        self.assertAlmostEqual(st.spread_of_medians([90, 100, 110]), 14.826, places=3)
        self.assertEqual(st.spread_of_medians([90]), 0.0)

    def test_a_standard_error_from_a_95_percent_interval(self) -> None:
        self.assertAlmostEqual(st.standard_error(Estimate(0, Interval(-1.96, 1.96))), 1.0)


if __name__ == "__main__":
    unittest.main()
