// Known answers of the bench's answer: the ranks of a median's interval,
// the intervals of a median, a difference and a change, as R gives them,
// the console's lines cut to the terminal, and what Reporters keeps of a
// run and asks of the noise judge. One case a line; every case that fails
// is named, and the status is 1 if any did.

#include "answer.hpp"
#include "results/reporters.hpp"
#include "text.hpp"

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace
{

int failures = 0;

void expect(const std::string &what, const std::string &got,
            const std::string &expected)
{
	if (got == expected)
		return;
	++failures;
	(void)std::printf("FAIL %s: got %s, expected %s\n", what.c_str(),
	                  got.c_str(), expected.c_str());
}

// The lower rank for n = 1 to 300, from R: qbinom(tail, n, 0.5); the
// interval is ranks l and n + 1 - l, none where l is 0.
const char *const ranks_95 =
    "0 0 0 0 0 1 1 1 2 2 2 3 3 3 4 4 5 5 5 6 6 6 7 7 8 8 8 9 9 10 10 10 "
    "11 11 12 12 13 13 13 14 14 15 15 16 16 16 17 17 18 18 19 19 19 20 "
    "20 21 21 22 22 22 23 23 24 24 25 25 26 26 26 27 27 28 28 29 29 29 "
    "30 30 31 31 32 32 33 33 33 34 34 35 35 36 36 37 37 38 38 38 39 39 "
    "40 40 41 41 42 42 42 43 43 44 44 45 45 46 46 47 47 47 48 48 49 49 "
    "50 50 51 51 52 52 52 53 53 54 54 55 55 56 56 57 57 58 58 58 59 59 "
    "60 60 61 61 62 62 63 63 63 64 64 65 65 66 66 67 67 68 68 69 69 69 "
    "70 70 71 71 72 72 73 73 74 74 75 75 75 76 76 77 77 78 78 79 79 80 "
    "80 81 81 82 82 82 83 83 84 84 85 85 86 86 87 87 88 88 88 89 89 90 "
    "90 91 91 92 92 93 93 94 94 95 95 95 96 96 97 97 98 98 99 99 100 "
    "100 101 101 102 102 102 103 103 104 104 105 105 106 106 107 107 "
    "108 108 109 109 110 110 110 111 111 112 112 113 113 114 114 115 "
    "115 116 116 117 117 118 118 118 119 119 120 120 121 121 122 122 "
    "123 123 124 124 125 125 125 126 126 127 127 128 128 129 129 130 "
    "130 131 131 132 132 133 133 ";
const char *const ranks_975 =
    "0 0 0 0 0 0 1 1 1 2 2 2 3 3 3 4 4 4 5 5 5 6 6 7 7 7 8 8 9 9 9 10 "
    "10 11 11 11 12 12 13 13 13 14 14 15 15 15 16 16 17 17 18 18 18 19 "
    "19 20 20 21 21 21 22 22 23 23 24 24 24 25 25 26 26 27 27 27 28 28 "
    "29 29 30 30 30 31 31 32 32 33 33 34 34 34 35 35 36 36 37 37 38 38 "
    "38 39 39 40 40 41 41 41 42 42 43 43 44 44 45 45 46 46 46 47 47 48 "
    "48 49 49 50 50 50 51 51 52 52 53 53 54 54 55 55 55 56 56 57 57 58 "
    "58 59 59 59 60 60 61 61 62 62 63 63 64 64 64 65 65 66 66 67 67 68 "
    "68 69 69 70 70 70 71 71 72 72 73 73 74 74 75 75 75 76 76 77 77 78 "
    "78 79 79 80 80 80 81 81 82 82 83 83 84 84 85 85 86 86 86 87 87 88 "
    "88 89 89 90 90 91 91 92 92 92 93 93 94 94 95 95 96 96 97 97 98 98 "
    "98 99 99 100 100 101 101 102 102 103 103 104 104 105 105 105 106 "
    "106 107 107 108 108 109 109 110 110 111 111 111 112 112 113 113 "
    "114 114 115 115 116 116 117 117 118 118 118 119 119 120 120 121 "
    "121 122 122 123 123 124 124 125 125 125 126 126 127 127 128 128 "
    "129 129 130 130 131 ";

void test_ranks()
{
	const struct {
		double tail;
		const char *ranks;
	} tables[] = {{one_median_tail, ranks_95},
	              {two_medians_tail, ranks_975}};
	for (const auto &table : tables) {
		std::istringstream ranks(table.ranks);
		std::size_t n = 0;
		for (std::string rank; ranks >> rank;) {
			++n;
			expect("rank n=" + std::to_string(n) +
			           " tail=" + std::to_string(table.tail),
			       std::to_string(median_rank(n, table.tail)),
			       rank);
		}
		expect("ranks in the table", std::to_string(n), "300");
	}
	// Large n, from R likewise: n, then the rank at each tail.
	const std::size_t large[][3] = {
	    {500, 228, 225},    {1000, 469, 465},    {2000, 956, 950},
	    {5000, 2431, 2421}, {10000, 4902, 4888}, {100000, 49690, 49646}};
	for (const auto &row : large)
		expect(
		    "rank n=" + std::to_string(row[0]),
		    std::to_string(median_rank(row[0], one_median_tail)) + " " +
		        std::to_string(median_rank(row[0], two_medians_tail)),
		    std::to_string(row[1]) + " " + std::to_string(row[2]));
}

std::string text_of(const std::optional<Interval> &interval)
{
	if (!interval)
		return "none";
	char text[96];
	(void)std::snprintf(text, sizeof text, "%.10g %.10g", interval->low,
	                    interval->high);
	return text;
}

std::vector<double> made(std::size_t n, const std::function<double(double)> &f)
{
	std::vector<double> values;
	for (std::size_t i = 1; i <= n; ++i)
		values.push_back(f(static_cast<double>(i)));
	return values;
}

// The data sets of the cases, made alike in R.
std::vector<double> data(const std::string &name)
{
	const auto mod101 = [](double i) { return std::fmod(i * 37, 101); };
	if (name == "seven")
		return {40, 10, 70, 20, 60, 30, 50};
	if (name == "six")
		return {9, 3, 7, 1, 5, 11};
	if (name == "five")
		return {4, 2, 8, 6, 10};
	if (name == "ties")
		return std::vector<double>(10, 5);
	if (name == "mod101")
		return made(20, mod101);
	if (name == "shifted")
		return made(20, [&](double i) { return mod101(i) - 60; });
	if (name == "squares")
		return made(200, [](double i) { return i * i * 7 + 50; });
	if (name == "mod97")
		return made(
		    300, [](double i) { return std::fmod(i * 13, 97) + 200; });
	return {0, 0, 1, 2, 3, 4, 5, 6, 7, 8}; // zeros
}

// From R: median(x), then the interval at 95 % and at 97.5 % (sort(x) at
// ranks l and n + 1 - l, l = qbinom(tail, n, 0.5)).
const char *const median_cases[][3] = {
    {"seven", "40", "10 70 10 70"},
    {"six", "6", "1 11 none"},
    {"five", "6", "none none"},
    {"ties", "5", "5 5 5 5"},
    {"mod101", "48.5", "30 74 23 77"},
    {"shifted", "-11.5", "-30 14 -37 17"},
    {"squares", "70753.5", "51822 92625 49442 95873"},
    {"mod97", "248", "242 253 241 254"},
    {"zeros", "3.5", "0 7 0 7"},
};

// From R: the difference's interval [lowA - highB, highA - lowB] and the
// change's, (range(outer(A, B, "/")) - 1) * 100, of the 97.5 % intervals.
const char *const pair_cases[][4] = {
    {"squares", "mod97", "49188 95632", "19365.35433 39681.3278"},
    {"mod101", "squares", "-95850 -49365", "-99.97600993 -99.84426196"},
    {"seven", "mod101", "-67 47", "-87.01298701 204.3478261"},
    {"shifted", "squares", "-95910 -49425", "-100.0748352 -99.96561628"},
    {"mod101", "zeros", "16 77", "none: the base reaches 0"},
    {"six", "mod101", "none", "none: too few"},
    {"mod97", "ties", "236 249", "4720 4980"},
};

void test_intervals()
{
	for (const auto &c : median_cases) {
		const std::vector<double> values = data(c[0]);
		char median[64];
		(void)std::snprintf(median, sizeof median, "%.10g",
		                    median_of(values));
		expect(std::string("median of ") + c[0], median, c[1]);
		expect(std::string("intervals of ") + c[0],
		       text_of(median_interval(values)) + " " +
		           text_of(median_interval(values, two_medians_tail)),
		       c[2]);
	}
	for (const auto &c : pair_cases) {
		const std::string pair = std::string(c[0]) + " - " + c[1];
		expect("difference " + pair,
		       text_of(difference_interval(data(c[0]), data(c[1]))),
		       c[2]);
		const Change change = change_interval(data(c[0]), data(c[1]));
		expect("change " + pair,
		       change.why == NoInterval::too_few ? "none: too few"
		       : change.why == NoInterval::base_reaches
		           ? "none: the base reaches 0"
		           : text_of(change.interval),
		       c[3]);
	}
}

// A line, the columns it may take, then the line fitted: counters cut
// from the end, ticks and process_cpu kept first.
const char *const fit_cases[][3] = {
    {"row 5 us a=1 b=2", "80", "row 5 us a=1 b=2"},
    {"row 5 us a=1 b=2", "16", "row 5 us a=1 b=2"},
    {"row 5 us a=1 b=2", "15", "row 5 us ..."},
    {"row 5 us a=1 b=2 c=3", "16", "row 5 us a=1 ..."},
    {"row 5 us a=1 b=2 ticks=2", "20", "row 5 us ticks=2 ..."},
    {"row 5 us abcdef=1 process_cpu=3 ticks=2", "34",
     "row 5 us process_cpu=3 ticks=2 ..."},
    {"a long row without counters", "10", "a long row without counters"},
    {"------", "4", "----"},
    {"\033[32mrow\033[m 5 a=1\033[m b=2\033[m c=3\033[m", "13",
     "\033[32mrow\033[m 5 a=1\033[m ..."},
    {"\xc2\xb5s \xc2\xb5s a=1 b=2", "13", "\xc2\xb5s \xc2\xb5s a=1 b=2"},
};

void test_fit()
{
	for (const auto &c : fit_cases)
		expect(std::string("fit ") + quoted(c[0]) + " to " + c[1],
		       quoted(fit_counters(c[0], std::stoul(c[1]),
		                           {"ticks", "process_cpu"})),
		       quoted(c[2]));
}

// A results file that notes when it is finished.
class FileStandIn : public benchmark::BenchmarkReporter
{
public:
	explicit FileStandIn(std::string &log) : log_(log) {}
	bool ReportContext(const Context & /*context*/) override
	{
		return true;
	}
	void ReportRuns(const std::vector<Run> & /*report*/) override {}
	void Finalize() override { log_ += "file finished;"; }

private:
	std::string &log_;
};

// Each case: whether a judge is set, what it says, then what happens in
// Finalize and the answer's warning lines.
const char *const noise_cases[][4] = {
    {"no", "", "file finished;", ""},
    {"yes", "", "judged;file finished;", ""},
    {"yes", "load average 3.1 on 2 CPUs; others used 58 % of the CPUs",
     "judged;file finished;",
     "warning: the machine disturbed this run, its figures may be off: "
     "load average 3.1 on 2 CPUs; others used 58 % of the CPUs\n"},
};

void test_noise()
{
	for (const auto &c : noise_cases) {
		std::string log;
		Reporters reporters(nullptr, 0,
		                    std::make_unique<FileStandIn>(log), {}, {},
		                    {"ticks"});
		std::string said = c[1];
		if (std::string(c[0]) == "yes")
			reporters.set_noise_judge([&log, said] {
				log += "judged;";
				return said;
			});
		// One repetition of 2 ms and 5 ticks.
		benchmark::BenchmarkReporter::Run run;
		run.run_name.function_name = "row";
		run.run_type = benchmark::BenchmarkReporter::Run::RT_Iteration;
		run.iterations = 1;
		run.time_unit = benchmark::kMicrosecond;
		run.real_accumulated_time = 0.002;
		run.counters["ticks"] = 5;
		run.counters["other"] = 1;
		reporters.ReportRuns({run});
		reporters.Finalize();
		const std::string name =
		    std::string("judge ") + c[0] + " " + c[1];
		expect(name + ": Finalize", log, c[2]);
		std::string warning;
		std::istringstream lines(
		    answer_text(Answer{}, 7, reporters.noise(), ""));
		for (std::string line; std::getline(lines, line);)
			if (line.compare(0, 8, "warning:") == 0)
				warning += line + "\n";
		expect(name + ": warning", warning, c[3]);
		const Samples &kept = reporters.samples();
		expect(
		    name + ": kept",
		    std::to_string(kept.at("row").size()) + " " +
		        std::to_string(kept.at("row").at("ticks").at(0)) + " " +
		        std::to_string(kept.at("row").at(wall_counter).at(0)),
		    "2 5.000000 2000.000000");
	}
}

} // namespace

int main()
{
	test_ranks();
	test_intervals();
	test_fit();
	test_noise();
	if (failures > 0) {
		(void)std::printf("%d failed\n", failures);
		return 1;
	}
	return 0;
}
