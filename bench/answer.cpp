#include "answer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

const char *const wall_counter = "wall";

std::size_t median_rank(std::size_t n, double tail)
{
	// P(B <= k) term by term, each in logarithms: 2^-n underflows a double
	// from n = 1075 on.
	const double log_half_n = -static_cast<double>(n) * std::log(2.0);
	double log_choose = 0; // log C(n, k)
	double below = 0;      // P(B <= k)
	std::size_t rank = 0;
	for (std::size_t k = 0; k < n; ++k) {
		below += std::exp(log_choose + log_half_n);
		if (below > tail)
			break;
		rank = k + 1;
		log_choose += std::log(static_cast<double>(n - k)) -
		              std::log(static_cast<double>(k + 1));
	}
	return rank;
}

double median_of(std::vector<double> values)
{
	if (values.empty())
		return 0;
	const std::size_t half = values.size() / 2;
	const auto middle = values.begin() + static_cast<std::ptrdiff_t>(half);
	std::nth_element(values.begin(), middle, values.end());
	if (values.size() % 2 == 1)
		return *middle;
	return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

std::optional<Interval> median_interval(std::vector<double> values, double tail)
{
	const std::size_t n = values.size();
	const std::size_t rank = median_rank(n, tail);
	if (rank == 0)
		return std::nullopt;
	std::sort(values.begin(), values.end());
	return Interval{values[rank - 1], values[n - rank]};
}

std::optional<Interval> difference_interval(const std::vector<double> &a,
                                            const std::vector<double> &b,
                                            double tail)
{
	const std::optional<Interval> of_a = median_interval(a, tail);
	const std::optional<Interval> of_b = median_interval(b, tail);
	if (!of_a || !of_b)
		return std::nullopt;
	return Interval{of_a->low - of_b->high, of_a->high - of_b->low};
}

Change change_interval(const std::vector<double> &a,
                       const std::vector<double> &base, double tail)
{
	return change_interval(a, base, tail, tail);
}

Change change_interval(const std::vector<double> &a,
                       const std::vector<double> &base, double tail_a,
                       double tail_base)
{
	const std::optional<Interval> of_a = median_interval(a, tail_a);
	const std::optional<Interval> of_base =
	    median_interval(base, tail_base);
	if (!of_a || !of_base)
		return {std::nullopt, NoInterval::too_few};
	// A ratio to a base that may be 0 has no bound.
	if (of_base->low <= 0)
		return {std::nullopt, NoInterval::base_reaches};
	// The base is positive: the least ratio divides the least row by the
	// greatest base if that row is 0 or more, else by the least base.
	const double least =
	    of_a->low / (of_a->low >= 0 ? of_base->high : of_base->low);
	const double most =
	    of_a->high / (of_a->high >= 0 ? of_base->low : of_base->high);
	return {Interval{(least - 1) * 100, (most - 1) * 100},
	        NoInterval::none};
}

namespace
{

const char *const not_measured = "not measured";
const char *const too_few = "too few repetitions";
const char *const ticks = "ticks";

// The values of `counter` of `row`, or null if they were not measured.
const std::vector<double> *values_of(const Samples &samples,
                                     const std::string &row,
                                     const std::string &counter)
{
	const auto found = samples.find(row);
	if (found == samples.end())
		return nullptr;
	const auto values = found->second.find(counter);
	if (values == found->second.end() || values->second.empty())
		return nullptr;
	return &values->second;
}

// The share of its error each interval of `row` may spend.
double share_of(const std::map<std::string, double> &shares,
                const std::string &row)
{
	const auto found = shares.find(row);
	return found == shares.end() ? 1 : found->second;
}

Reading median_reading(const std::vector<double> *values, double share)
{
	if (values == nullptr)
		return {std::nullopt, std::nullopt, not_measured};
	const std::optional<Interval> interval =
	    median_interval(*values, one_median_tail * share);
	return {median_of(*values), interval, interval ? "" : too_few};
}

Reading difference_reading(const std::vector<double> *a,
                           const std::vector<double> *b, double share_a,
                           double share_b)
{
	if (a == nullptr || b == nullptr)
		return {std::nullopt, std::nullopt, not_measured};
	const std::optional<Interval> of_a =
	    median_interval(*a, two_medians_tail * share_a);
	const std::optional<Interval> of_b =
	    median_interval(*b, two_medians_tail * share_b);
	std::optional<Interval> interval;
	if (of_a && of_b)
		interval =
		    Interval{of_a->low - of_b->high, of_a->high - of_b->low};
	return {median_of(*a) - median_of(*b), interval,
	        interval ? "" : too_few};
}

// A lever's change on `counter`, each median's interval at `tail`.
Lever lever_of(const Samples &samples, const Row &row,
               const std::string &counter, double tail,
               const std::map<std::string, double> &shares)
{
	Lever lever{row.name, row.base, counter, {}, ""};
	const std::vector<double> *a = values_of(samples, row.name, counter);
	const std::vector<double> *base = values_of(samples, row.base, counter);
	if (a == nullptr || base == nullptr) {
		lever.reading.missing = not_measured;
		return lever;
	}
	const double of_base = median_of(*base);
	if (of_base == 0) {
		lever.reading.missing = "the base's median is 0";
		return lever;
	}
	lever.reading.value = (median_of(*a) - of_base) / of_base * 100;
	const Change change =
	    change_interval(*a, *base, tail * share_of(shares, row.name),
	                    tail * share_of(shares, row.base));
	lever.reading.interval = change.interval;
	if (change.why == NoInterval::too_few)
		lever.reading.missing = too_few;
	if (change.why == NoInterval::base_reaches)
		lever.reading.missing = "no interval: the base's reaches 0";
	if (change.interval)
		lever.verdict =
		    change.interval->low > 0 || change.interval->high < 0
		        ? "differs"
		        : "no change shown";
	return lever;
}

std::string number(double value)
{
	char text[64];
	(void)std::snprintf(text, sizeof text, "%.1f", value);
	// No "-0.0": a change that rounds to nothing has no sign.
	return std::string(text) == "-0.0" ? "0.0" : text;
}

std::string padded(const std::string &text, std::size_t width, bool right)
{
	const std::string pad(width > text.size() ? width - text.size() : 0,
	                      ' ');
	return right ? pad + text : text + pad;
}

} // namespace

Answer answer_of(const Samples &samples, const std::vector<Row> &rows,
                 const std::map<std::string, double> &shares)
{
	const std::string pipe = "program_run/pipe";
	const std::string cold = "cold_thread_start";
	Answer answer;
	const std::string warm = "warm_create_join";
	const double of_pipe = share_of(shares, pipe);
	const double of_cold = share_of(shares, cold);
	answer.figures = {
	    {"cold thread start", ticks,
	     median_reading(values_of(samples, cold, ticks), of_cold)},
	    {"warm thread start", "ticks per thread",
	     median_reading(values_of(samples, warm, ticks),
	                    share_of(shares, warm))},
	    {"first line", ticks,
	     difference_reading(values_of(samples, pipe, ticks),
	                        values_of(samples, cold, ticks), of_pipe,
	                        of_cold)},
	    {"the program's span", ticks,
	     median_reading(values_of(samples, pipe, ticks), of_pipe)},
	    {"the program's process CPU", "µs",
	     median_reading(values_of(samples, pipe, "process_cpu"), of_pipe)},
	    {"the program's wall time", "µs",
	     median_reading(values_of(samples, pipe, wall_counter), of_pipe)},
	};
	// The levers' lines first, then each at the family's level.
	std::vector<std::pair<const Row *, std::string>> lines;
	for (const Row &row : rows) {
		if (row.base.empty() || samples.count(row.name) == 0)
			continue;
		lines.emplace_back(&row, ticks);
		if (row.counter != ticks)
			lines.emplace_back(&row, row.counter);
	}
	const double tail =
	    two_medians_tail /
	    static_cast<double>(std::max<std::size_t>(lines.size(), 1));
	for (const auto &[row, counter] : lines)
		answer.levers.push_back(
		    lever_of(samples, *row, counter, tail, shares));
	return answer;
}

std::string answer_text(const Answer &answer, int repetitions,
                        const std::string &noise, const std::string &closing)
{
	return answer_text(answer, std::to_string(repetitions), noise, closing);
}

std::string answer_text(const Answer &answer, const std::string &repetitions,
                        const std::string &noise, const std::string &closing)
{
	// Name, value, interval (or why there is none), unit, verdict.
	std::vector<std::vector<std::string>> lines;
	const auto cells = [](const Reading &reading) {
		const std::string interval =
		    reading.interval
		        ? "[" + number(reading.interval->low) + ", " +
		              number(reading.interval->high) + "]"
		        : reading.missing;
		return std::vector<std::string>{
		    reading.value ? number(*reading.value) : "-", interval};
	};
	for (const Figure &figure : answer.figures) {
		std::vector<std::string> line{figure.name};
		const std::vector<std::string> more = cells(figure.reading);
		line.insert(line.end(), more.begin(), more.end());
		line.push_back(figure.unit);
		lines.push_back(line);
	}
	for (const Lever &lever : answer.levers) {
		std::vector<std::string> line{
		    lever.row +
		    (lever.counter == ticks ? "" : " on " + lever.counter)};
		const std::vector<std::string> more = cells(lever.reading);
		line.insert(line.end(), more.begin(), more.end());
		line.push_back(lever.verdict);
		lines.push_back(line);
	}
	std::vector<std::size_t> widths(3, 0);
	for (const auto &line : lines)
		for (std::size_t i = 0; i < widths.size(); ++i)
			widths[i] = std::max(widths[i], line[i].size());
	std::string text = "median [95 % interval] of " + repetitions +
	                   " repetitions a row; ticks: clock(3) ticks\n";
	for (std::size_t at = 0; at < lines.size(); ++at) {
		if (at == answer.figures.size())
			text +=
			    "levers: the change in % of the base row's "
			    "median and its verdict" +
			    (answer.levers.size() > 1
			         ? ", the " +
			               std::to_string(answer.levers.size()) +
			               " intervals at 95 % together "
			               "(Bonferroni)"
			         : std::string()) +
			    "\n";

		const auto &line = lines[at];
		std::string shown = padded(line[0], widths[0], false) + "  " +
		                    padded(line[1], widths[1], true) + "  " +
		                    padded(line[2], widths[2], false);
		// The unit of a figure, the verdict of a lever.
		if (!line[3].empty())
			shown += "  " + line[3];
		text += shown.substr(0, shown.find_last_not_of(' ') + 1) + "\n";
	}
	if (!noise.empty())
		text += "warning: the machine disturbed this run, its figures "
		        "may be off: " +
		        noise + "\n";
	return text + closing;
}
