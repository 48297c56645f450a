#include "statistics.hpp"

#include <algorithm>
#include <cmath>

double percentile(std::vector<double> values, double p)
{
	if (values.empty())
		return 0;
	const auto rank = static_cast<std::size_t>(
	    std::ceil(p / 100 * static_cast<double>(values.size())));
	const auto at =
	    values.begin() +
	    static_cast<std::ptrdiff_t>(std::max<std::size_t>(rank, 1) - 1);
	std::nth_element(values.begin(), at, values.end());
	return *at;
}

namespace
{

double minimum(const std::vector<double> &v)
{
	return percentile(v, 0);
}
double p90(const std::vector<double> &v)
{
	return percentile(v, 90);
}
double p99(const std::vector<double> &v)
{
	return percentile(v, 99);
}
double maximum(const std::vector<double> &v)
{
	return percentile(v, 100);
}

} // namespace

benchmark::internal::Benchmark *
with_statistics(benchmark::internal::Benchmark *row, int repetitions)
{
	// Every repetition reaches the results file whatever the library's
	// flags ask; the console shows only the statistics.
	return row->Repetitions(repetitions)
	    ->ReportAggregatesOnly(false)
	    ->ComputeStatistics("min", minimum)
	    ->ComputeStatistics("p90", p90)
	    ->ComputeStatistics("p99", p99)
	    ->ComputeStatistics("max", maximum)
	    ->Unit(benchmark::kMicrosecond);
}
