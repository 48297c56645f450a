#include "report.hpp"

#include <climits>
#include <string>

std::optional<long> parse_count(const std::string &text)
{
	const std::string most = std::to_string(LONG_MAX);
	if (text.empty() || text.size() > most.size() ||
	    text.find_first_not_of("0123456789") != std::string::npos ||
	    (text[0] == '0' && text.size() > 1) ||
	    (text.size() == most.size() && text > most))
		return std::nullopt;
	return std::stol(text);
}

std::optional<long> program_ticks(const std::string &output,
                                  const std::string &eol)
{
	const std::string head =
	    "Entered the loopp" + eol + "The time of the childthread is ";
	if (output.size() < head.size() + eol.size() ||
	    output.compare(0, head.size(), head) != 0 ||
	    output.compare(output.size() - eol.size(), eol.size(), eol) != 0)
		return std::nullopt;
	return parse_count(output.substr(
	    head.size(), output.size() - head.size() - eol.size()));
}

std::optional<long> helper_ticks(const std::string &output)
{
	if (output.empty() || output.back() != '\n')
		return std::nullopt;
	return parse_count(output.substr(0, output.size() - 1));
}
