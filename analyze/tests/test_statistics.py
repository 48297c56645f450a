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
        # (m, n, p, interval of b - a) from R 4.2.2's wilcox.test(b, a,
        # conf.int=TRUE, exact=TRUE) on the values below, without ties. R
        # gives a bounded interval where no U can be rejected; the test's is
        # unbounded then.
        cases = [
            (3, 3, 0.4, -90.5, 26.5), (3, 4, 1, -60.5, 56.5), (3, 5, 0.785714, -80.5, 39.5),
            (3, 6, 0.714286, -47.5, 66.5), (3, 7, 0.666667, -67.5, 49.5),
            (3, 8, 0.278788, -84.5, 26.5), (3, 9, 0.863636, -54.5, 59.5),
            (3, 10, 0.468531, -71.5, 36.5), (3, 11, 0.456044, -41.5, 69.5),
            (3, 12, 0.734066, -58.5, 46.5), (3, 13, 0.364286, -78.5, 29.5),
            (3, 14, 0.767647, -45.5, 56.5), (3, 15, 0.573529, -65.5, 39.5),
            (3, 16, 0.303406, -32.5, 66.5), (3, 17, 1, -52.5, 49.5),
            (3, 18, 0.306767, -69.5, 26.5), (3, 19, 0.523377, -39.5, 59.5),
            (3, 20, 0.63467, -56.5, 36.5), (4, 4, 0.114286, -90.5, 26.5),
            (4, 5, 0.904762, -57.5, 56.5), (4, 6, 0.352381, -74.5, 33.5),
            (4, 7, 0.527273, -23.5, 63.5), (4, 8, 0.682828, -43.5, 25.5),
            (4, 9, 0.148252, -63.5, 23.5), (4, 10, 0.945055, -33.5, 38.5),
            (4, 11, 0.489377, -50.5, 21.5), (4, 12, 0.520879, -20.5, 48.5),
            (4, 13, 0.870588, -37.5, 31.5), (4, 14, 0.157516, -57.5, 8.5),
            (4, 15, 0.664603, -24.5, 41.5), (4, 16, 0.494118, -44.5, 18.5),
            (4, 17, 0.316792, -14.5, 54.5), (4, 18, 0.967054, -34.5, 31.5),
            (4, 19, 0.25048, -53.5, 14.5), (4, 20, 0.575381, -23.5, 43.5),
            (5, 5, 0.0952381, -90.5, 23.5), (5, 6, 0.662338, -60.5, 32.5),
            (5, 7, 0.267677, -74.5, 12.5), (5, 8, 0.943279, -44.5, 39.5),
            (5, 9, 0.437562, -61.5, 22.5), (5, 10, 0.03996, -81.5, -0.5),
            (5, 11, 0.826923, -48.5, 32.5), (5, 12, 0.159987, -65.5, 9.5),
            (5, 13, 0.702848, -23.5, 42.5), (5, 14, 0.391297, -52.5, 21.5),
            (5, 15, 0.0806244, -63.5, 4.5), (5, 16, 0.841712, -39.5, 32.5),
            (5, 17, 0.248804, -50.5, 14.5), (5, 18, 0.538203, -23.5, 42.5),
            (5, 19, 0.580839, -40.5, 25.5), (5, 20, 0.0832298, -63.5, 4.5),
            (6, 6, 0.0930736, -84.5, 13.5), (6, 7, 0.835664, -33.5, 46.5),
            (6, 8, 0.228438, -53.5, 15.5), (6, 9, 0.528671, -17.5, 48.5),
            (6, 10, 0.427822, -40.5, 25.5), (6, 11, 0.121526, -54.5, 8.5),
            (6, 12, 0.963585, -27.5, 35.5), (6, 13, 0.281807, -43.5, 18.5),
            (6, 14, 0.397007, -14.5, 45.5), (6, 15, 0.62218, -31.5, 28.5),
            (6, 16, 0.0980258, -51.5, 5.5), (6, 17, 0.759171, -20.5, 40.5),
            (6, 18, 0.279592, -40.5, 17.5), (6, 19, 0.197753, -10.5, 51.5),
            (6, 20, 0.744473, -30.5, 28.5), (7, 7, 0.0728438, -67.5, 5.5),
            (7, 8, 0.778866, -37.5, 29.5), (7, 9, 0.173776, -53.5, 12.5),
            (7, 10, 0.669066, -23.5, 38.5), (7, 11, 0.478947, -40.5, 21.5),
            (7, 12, 0.0358419, -60.5, -1.5), (7, 13, 0.938467, -27.5, 31.5),
            (7, 14, 0.148951, -47.5, 8.5), (7, 15, 0.332196, -14.5, 41.5),
            (7, 16, 0.534588, -34.5, 18.5), (7, 17, 0.0645471, -52.5, 1.5),
            (7, 18, 0.790302, -22.5, 29.5), (7, 19, 0.254211, -40.5, 12.5),
            (7, 20, 0.2404, -10.5, 40.5), (8, 8, 0.0206682, -70.5, -7.5),
            (8, 9, 0.672974, -34.5, 26.5), (8, 10, 0.0545272, -57.5, 2.5),
            (8, 11, 0.840385, -23.5, 36.5), (8, 12, 0.208288, -43.5, 11.5),
            (8, 13, 0.0246105, -60.5, -4.5), (8, 14, 0.664234, -31.5, 22.5),
            (8, 15, 0.100556, -48.5, 5.5), (8, 16, 0.696797, -20.5, 34.5),
            (8, 17, 0.374417, -37.5, 15.5), (8, 18, 0.0187329, -57.5, -5.5),
            (8, 19, 0.979267, -25.5, 27.5), (8, 20, 0.110344, -45.5, 5.5),
            (9, 9, 0.0503085, -60.5, 2.5), (9, 10, 0.60378, -31.5, 26.5),
            (9, 11, 0.130805, -47.5, 9.5), (9, 12, 0.75437, -18.5, 35.5),
            (9, 13, 0.323734, -37.5, 19.5), (9, 14, 0.0275358, -57.5, -4.5),
            (9, 15, 0.907021, -24.5, 28.5), (9, 16, 0.107635, -44.5, 5.5),
            (9, 17, 0.395807, -12.5, 39.5), (9, 18, 0.375136, -32.5, 17.5),
            (9, 19, 0.0477001, -50.5, -0.5), (9, 20, 0.944711, -20.5, 27.5),
            (10, 10, 0.0146896, -64.5, -10.5), (10, 11, 0.704504, -30.5, 25.5),
            (10, 12, 0.0425704, -51.5, -0.5), (10, 13, 0.604913, -17.5, 32.5),
            (10, 14, 0.191532, -38.5, 9.5), (10, 15, 0.019211, -55.5, -7.5),
            (10, 16, 0.775995, -27.5, 21.5), (10, 17, 0.0832222, -44.5, 4.5),
            (10, 18, 0.435657, -14.5, 31.5), (10, 19, 0.377382, -31.5, 14.5),
            (10, 20, 0.0166571, -52.5, -7.5), (11, 11, 0.0399755, -54.5, -1.5),
            (11, 12, 0.880112, -27.5, 25.5), (11, 13, 0.119121, -43.5, 6.5),
            (11, 14, 0.434242, -14.5, 35.5), (11, 15, 0.539953, -31.5, 17.5),
            (11, 16, 0.02285, -52.5, -4.5), (11, 17, 0.78142, -20.5, 28.5),
            (11, 18, 0.133831, -40.5, 6.5), (11, 19, 0.185268, -8.5, 38.5),
            (11, 20, 0.640137, -28.5, 17.5), (12, 12, 0.0204892, -54.5, -4.5),
            (12, 13, 0.978697, -21.5, 28.5), (12, 14, 0.117926, -41.5, 5.5),
            (12, 15, 0.299543, -10.5, 38.5), (12, 16, 0.507019, -30.5, 16.5),
            (12, 17, 0.0380408, -47.5, -1.5), (12, 18, 0.818745, -18.5, 27.5),
            (12, 19, 0.219783, -36.5, 9.5), (12, 20, 0.169516, -6.5, 38.5),
            (13, 13, 0.0190987, -53.5, -4.5), (13, 14, 0.792955, -23.5, 22.5),
            (13, 15, 0.0977212, -40.5, 5.5), (13, 16, 0.398298, -11.5, 32.5),
            (13, 17, 0.457046, -28.5, 15.5), (13, 18, 0.0138227, -50.5, -5.5),
            (13, 19, 0.820552, -17.5, 25.5), (13, 20, 0.109781, -37.5, 4.5),
            (14, 14, 0.0162031, -50.5, -6.5), (14, 15, 0.779995, -17.5, 26.5),
            (14, 16, 0.101131, -38.5, 4.5), (14, 17, 0.17334, -5.5, 36.5),
            (14, 18, 0.536045, -26.5, 15.5), (14, 19, 0.0317182, -44.5, -2.5),
            (14, 20, 0.592293, -14.5, 26.5), (15, 15, 0.0185537, -48.5, -4.5),
            (15, 16, 0.860856, -18.5, 23.5), (15, 17, 0.14246, -36.5, 5.5),
            (15, 18, 0.202238, -7.5, 34.5), (15, 19, 0.7065, -24.5, 16.5),
            (15, 20, 0.0190976, -45.5, -4.5), (16, 16, 0.00660615, -50.5, -8.5),
            (16, 17, 0.901045, -18.5, 22.5), (16, 18, 0.0696971, -38.5, 2.5),
            (16, 19, 0.20516, -7.5, 34.5), (16, 20, 0.459151, -27.5, 12.5),
            (17, 17, 0.0177441, -45.5, -5.5), (17, 18, 0.832281, -16.5, 22.5),
            (17, 19, 0.121459, -34.5, 5.5), (17, 20, 0.132609, -4.5, 34.5),
            (18, 18, 0.00640223, -47.5, -8.5), (18, 19, 0.663186, -14.5, 23.5),
            (18, 20, 0.081911, -35.5, 2.5), (19, 19, 0.0068293, -47.5, -8.5),
            (19, 20, 0.92257, -18.5, 20.5), (20, 20, 0.00671501, -46.5, -8.5),
        ]
        for m, n, p, low, high in cases:
            a = [(i * 37) % 101 for i in range(1, m + 1)]
            shift = (m * 7 + n * 3) % 5 * 10 - 20
            b = [(j * 53) % 103 + 0.5 + shift for j in range(1, n + 1)]
            test = st.shift_interval(a, b)
            self.assertTrue(test.exact, (m, n))
            self.assertAlmostEqual(test.p_value, p, 5, (m, n))
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
        self.assertEqual((st.RUNS_FOR_VERDICT, st.least_runs_a_side(0.005)), (4, 6))

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
