#include "verdict.hpp"

#include "text.hpp"

#include <sys/wait.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

std::string what_went_wrong(const Outcome &outcome)
{
	if (!outcome.failure.empty())
		return outcome.failure;
	std::string what;
	if (WIFSIGNALED(outcome.wait_status)) {
		const int signal = WTERMSIG(outcome.wait_status);
		what = "killed by signal " + std::to_string(signal);
		if (const char *name = sigabbrev_np(signal))
			what += std::string(" (SIG") + name + ")";
	} else if (WEXITSTATUS(outcome.wait_status) != 0) {
		what = "exited with status " +
		       std::to_string(WEXITSTATUS(outcome.wait_status));
	}
	if (!outcome.err.empty())
		what += (what.empty() ? "" : ", and ") +
		        std::string("wrote to standard error: ") +
		        quoted(outcome.err);
	return what;
}

std::optional<long> parse_count(const std::string &text)
{
	if (text.empty() || (text[0] == '0' && text.size() > 1))
		return std::nullopt;
	long count = 0;
	for (const char c : text) {
		if (c < '0' || c > '9')
			return std::nullopt;
		const int digit = c - '0';
		if (count > (LONG_MAX - digit) / 10)
			return std::nullopt;
		count = count * 10 + digit;
	}
	return count;
}

std::optional<long> program_ticks(const std::string &output,
                                  const std::string &eol)
{
	static const std::string first = "Entered the loopp";
	static const std::string second = "The time of the childthread is ";
	const std::size_t head = first.size() + eol.size() + second.size();
	if (output.size() < head + eol.size() ||
	    output.compare(0, first.size(), first) != 0 ||
	    output.compare(first.size(), eol.size(), eol) != 0 ||
	    output.compare(first.size() + eol.size(), second.size(), second) !=
	        0 ||
	    output.compare(output.size() - eol.size(), eol.size(), eol) != 0)
		return std::nullopt;
	return parse_count(
	    output.substr(head, output.size() - head - eol.size()));
}

std::optional<long> helper_ticks(const std::string &output)
{
	if (output.empty() || output.back() != '\n')
		return std::nullopt;
	return parse_count(output.substr(0, output.size() - 1));
}

namespace
{

// A decimal as "%.3f" prints a value of at most a million: an optional
// minus sign where `signed_ok`, whole digits without a leading zero, a
// point and three places.
std::optional<double> parse_decimal(std::string text, bool signed_ok)
{
	bool negative = false;
	if (signed_ok && !text.empty() && text[0] == '-') {
		negative = true;
		text.erase(0, 1);
	}
	const std::size_t point = text.find('.');
	if (point == std::string::npos || point == 0 || point > 7 ||
	    text.size() != point + 4 ||
	    text.find_first_not_of("0123456789.") != std::string::npos ||
	    text.find('.', point + 1) != std::string::npos ||
	    (text[0] == '0' && point > 1))
		return std::nullopt;
	const double value = std::strtod(text.c_str(), nullptr);
	return negative ? -value : value;
}

// The text after "NAME=" at the start of `line`, up to the next space (or
// the end), and moves `line` past it and the space.
std::optional<std::string> field(std::string &line, const std::string &name,
                                 bool last)
{
	const std::string key = name + "=";
	if (line.compare(0, key.size(), key) != 0)
		return std::nullopt;
	const std::size_t end = line.find(' ');
	if ((end == std::string::npos) != last)
		return std::nullopt;
	std::string value = line.substr(key.size(), end - key.size());
	line.erase(0, last ? line.size() : end + 1);
	return value;
}

} // namespace

std::optional<Parts> parts_report(const std::string &output)
{
	const std::string head = "Entered the loopp\n";
	if (output.size() <= head.size() ||
	    output.compare(0, head.size(), head) != 0 || output.back() != '\n')
		return std::nullopt;
	std::string line =
	    output.substr(head.size(), output.size() - head.size() - 1);
	const auto ticks = field(line, "ticks", false);
	const auto creator = field(line, "creator", false);
	const auto new_thread = field(line, "new_thread", false);
	const auto first_line = field(line, "first_line", false);
	const auto rest = field(line, "rest", false);
	if (!ticks || !creator || !new_thread || !first_line || !rest)
		return std::nullopt;
	Parts parts;
	for (std::size_t i = 0; i < part_count_names.size(); ++i) {
		const auto text = field(line, part_count_names.at(i),
		                        i + 1 == part_count_names.size());
		const auto count = text ? parse_count(*text) : std::nullopt;
		if (!count)
			return std::nullopt;
		parts.counts.at(i) = *count;
	}
	const auto count = parse_count(*ticks);
	const auto c = parse_decimal(*creator, false);
	const auto n = parse_decimal(*new_thread, false);
	const auto f = parse_decimal(*first_line, false);
	const auto r = parse_decimal(*rest, true);
	if (!count || !c || !n || !f || !r)
		return std::nullopt;
	parts.ticks = *count;
	parts.creator = *c;
	parts.new_thread = *n;
	parts.first_line = *f;
	parts.rest = *r;
	// Each of the four was rounded to 0.0005 at most.
	const double sum = *c + *n + *f + *r;
	if (std::fabs(sum - static_cast<double>(*count)) > 0.0025)
		return std::nullopt;
	return parts;
}
