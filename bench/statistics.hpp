// The statistics the bench adds to Google Benchmark's mean, median, standard
// deviation and coefficient of variation.
#pragma once

#include <benchmark/benchmark.h>

#include <vector>

// Nearest-rank percentile `p` (0 to 100) of `values`: the smallest value
// that at least p % of them do not exceed; 0 gives the minimum.
double percentile(std::vector<double> values, double p);

// `row` with `repetitions` repetitions, reported with min, p90, p99 and max
// besides the library's statistics, in microseconds.
benchmark::internal::Benchmark *
with_statistics(benchmark::internal::Benchmark *row, int repetitions);
