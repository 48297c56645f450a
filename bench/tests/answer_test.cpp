// Known answers of the bench's answer (R's for the intervals), the console's
// lines cut to the terminal, and what Reporters keeps and asks of the noise
// judge. Every case that fails is named; the status is 1 if any did.

#include "answer.hpp"
#include "precision.hpp"
#include "results/reporters.hpp"
#include "text.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
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

// The lower rank l for n = 1 to 300, from R: qbinom(tail, n, 0.5), each
// digit l(n) - l(n - 1); the interval is ranks l and n + 1 - l, none
// where l is 0.
const char *const steps_95 =
    "0000010010010010100100101001010010101001010100101010010101001010101001"
    "0101001010101001010101010010101010010101010100101010101001010101010100"
    "1010101010010101010101001010101010100101010101010100101010101010010101"
    "0101010100101010101010100101010101010101001010101010101010010101010101"
    "01001010101010101010";
const char *const steps_975 =
    "0000001001001001001001010010100101001010010100101010010101001010100101"
    "0100101010010101010010101010010101001010101010010101010010101010100101"
    "0101001010101010010101010101001010101010010101010100101010101010010101"
    "0101010010101010101001010101010101001010101010100101010101010100101010"
    "10101010010101010101";

void test_ranks()
{
	for (const auto &[tail, steps] :
	     {std::pair{one_median_tail, steps_95},
	      std::pair{two_medians_tail, steps_975}}) {
		std::size_t rank = 0;
		for (std::size_t n = 1; n <= 300; ++n) {
			rank += static_cast<std::size_t>(steps[n - 1] - '0');
			expect("rank n=" + std::to_string(n) +
			           " tail=" + std::to_string(tail),
			       std::to_string(median_rank(n, tail)),
			       std::to_string(rank));
		}
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

// The data sets of the cases, made alike in R.
std::vector<double> data(const std::string &name)
{
	const auto made = [](std::size_t n, auto f) {
		std::vector<double> values;
		for (std::size_t i = 1; i <= n; ++i)
			values.push_back(f(static_cast<double>(i)));
		return values;
	};
	const auto mod101 = [](double i) { return std::fmod(i * 37, 101); };
	const std::map<std::string, std::vector<double>> sets = {
	    {"seven", {40, 10, 70, 20, 60, 30, 50}},
	    {"six", {9, 3, 7, 1, 5, 11}},
	    {"five", {4, 2, 8, 6, 10}},
	    {"ties", std::vector<double>(10, 5)},
	    {"mod101", made(20, mod101)},
	    {"shifted", made(20, [&](double i) { return mod101(i) - 60; })},
	    {"squares", made(200, [](double i) { return i * i * 7 + 50; })},
	    {"mod97",
	     made(300, [](double i) { return std::fmod(i * 13, 97) + 200; })},
	    {"zeros", {0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
	};
	return sets.at(name);
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

// The levers' family: k levers alike, each the first set's row against
// the second's, then the first lever's change and verdict, from R: each
// median's interval at tail 0.0125 / k (qbinom), the ratios of their ends.
const char *const family_cases[][4] = {
    {"shifted", "mod101", "1", "-260.8695652 -26.08695652 differs"},
    {"shifted", "mod101", "2", "-260.8695652 -26.08695652 differs"},
    {"shifted", "mod101", "3", "-300 20 no change shown"},
    {"shifted", "mod101", "6", "-300 20 no change shown"},
    {"squares", "mod97", "3", "17930.19608 41920.83333 differs"},
    {"squares", "mod97", "8", "16984.76562 43514.22594 differs"},
};

void test_family()
{
	for (const auto &c : family_cases) {
		const std::size_t k = std::stoul(c[2]);
		Samples samples{{"base", {{"ticks", data(c[1])}}}};
		std::vector<Row> rows;
		for (std::size_t i = 0; i < k; ++i) {
			Row row;
			row.name = "lever" + std::to_string(i);
			row.base = "base";
			row.counter = "ticks";
			rows.push_back(row);
			samples[row.name]["ticks"] = data(c[0]);
		}
		const Answer answer = answer_of(samples, rows);
		const std::string name = std::string("family of ") + c[2] +
		                         " " + c[0] + " - " + c[1];
		expect(name + ": levers", std::to_string(answer.levers.size()),
		       c[2]);
		expect(name,
		       text_of(answer.levers.at(0).reading.interval) + " " +
		           answer.levers.at(0).verdict,
		       c[3]);
		const bool said =
		    answer_text(answer, 7, "", "")
		        .find(", the " + std::to_string(k) +
		              " intervals at 95 % together (Bonferroni)\n") !=
		    std::string::npos;
		expect(name + ": the family's line", said ? "said" : "not said",
		       k > 1 ? "said" : "not said");
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
		const std::string text =
		    answer_text(Answer{}, 7, reporters.noise(), "");
		expect(name + ": warning", text.substr(text.find('\n') + 1),
		       c[3]);
		const Samples &kept = reporters.samples();
		expect(
		    name + ": kept",
		    std::to_string(kept.at("row").size()) + " " +
		        std::to_string(kept.at("row").at("ticks").at(0)) + " " +
		        std::to_string(kept.at("row").at(wall_counter).at(0)),
		    "2 5.000000 2000.000000");
	}
}

// Runs in rounds. From R: qbinom(tail * 3 / ((j + 2) (j + 3)), n, 0.5) at
// a row's j-th look, for one median (tail 0.025) and each of two (0.0125).
const int look_cases[][4] = {
    {1, 20, 5, 4},    {1, 40, 12, 11}, {1, 160, 64, 63}, {2, 40, 12, 11},
    {3, 160, 62, 61}, {4, 20, 4, 3},   {4, 40, 11, 10},  {4, 160, 62, 60},
};

// The precision of a reading: value, interval, what it reached.
const char *const precision_cases[][4] = {
    {"100", "90 120", "20.0"}, {"-10", "-12 -9", "20.0"}, {"0", "0 0", "0.0"},
    {"0", "-1 1", "none"},     {"5", "none", "none"},
};

void test_rounds()
{
	for (const auto &[look, n, one, two] : look_cases) {
		const auto count = static_cast<std::size_t>(n);
		expect("look " + std::to_string(look) +
		           " n=" + std::to_string(n),
		       std::to_string(median_rank(
		           count, one_median_tail * spent_share(look))) +
		           " " +
		           std::to_string(median_rank(
		               count, two_medians_tail * spent_share(look))),
		       std::to_string(one) + " " + std::to_string(two));
	}
	for (const auto &c : precision_cases) {
		Reading reading{std::stod(c[0]), std::nullopt, ""};
		char *end = nullptr;
		const double low = std::strtod(c[1], &end);
		if (end != c[1])
			reading.interval =
			    Interval{low, std::strtod(end, nullptr)};
		const std::optional<double> reached = precision_of(reading);
		char text[32] = "none";
		if (reached)
			(void)std::snprintf(text, sizeof text, "%.1f",
			                    *reached);
		expect(std::string("precision of ") + c[0] + " [" + c[1] + "]",
		       text, c[2]);
	}
	// The cold start (1 to 45) at its 3rd look, the program (101 to 168)
	// at its 4th: each figure's interval at its rows' shares, from R; the
	// first line the difference of the two.
	std::vector<double> cold;
	std::vector<double> pipe;
	for (int i = 1; i <= 68; ++i) {
		if (i <= 45)
			cold.push_back(i);
		pipe.push_back(100 + i);
	}
	const Samples samples{{"cold_thread_start", {{"ticks", cold}}},
	                      {"program_run/pipe", {{"ticks", pipe}}}};
	const Answer answer = answer_of(samples, {},
	                                {{"cold_thread_start", spent_share(3)},
	                                 {"program_run/pipe", spent_share(4)}});
	expect("spent: cold", text_of(answer.figures.at(0).reading.interval),
	       "13 33");
	expect("spent: first line",
	       text_of(answer.figures.at(2).reading.interval), "88 135");
	expect("spent: span", text_of(answer.figures.at(3).reading.interval),
	       "122 147");
	long total = 20;
	std::string totals;
	for (int round = 0; round < 4; ++round)
		totals += std::to_string(total = next_total(total)) + " ";
	expect("rounds from 20", totals, "30 45 68 102 ");
	// Only the rows of an aim short of 10 % run on.
	Row cold_row;
	cold_row.name = "cold_thread_start";
	Row pipe_row;
	pipe_row.name = "program_run/pipe";
	const std::vector<Row> needed =
	    still_needed({cold_row, pipe_row},
	                 {{"cold", {"cold_thread_start"}, 9.0},
	                  {"span", {"program_run/pipe"}, 10.5}},
	                 10);
	expect("still needed", needed.size() == 1 ? needed[0].name : "",
	       "program_run/pipe");
}

} // namespace

int main()
{
	test_ranks();
	test_rounds();
	test_intervals();
	test_family();

	test_fit();
	test_noise();
	if (failures > 0) {
		(void)std::printf("%d failed\n", failures);
		return 1;
	}
	return 0;
}
