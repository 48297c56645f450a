#include "text.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

std::string error_text(int error)
{
	std::array<char, 256> text{};
	// The GNU strerror_r returns either `text` or a static string.
	return strerror_r(error, text.data(), text.size());
}

std::string errno_text(const std::string &what)
{
	return what + ": " + error_text(errno);
}

std::string quoted(const std::string &bytes, std::size_t most)
{
	std::string text = "\"";
	for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
		const auto byte = static_cast<unsigned char>(bytes[i]);
		switch (byte) {
		case '\n':
			text += "\\n";
			break;
		case '\r':
			text += "\\r";
			break;
		case '\t':
			text += "\\t";
			break;
		case '"':
		case '\\':
			text += '\\';
			text += static_cast<char>(byte);
			break;
		default:
			if (byte < 0x20 || byte >= 0x7f) {
				std::array<char, 8> escape{};
				(void)std::snprintf(escape.data(),
				                    escape.size(), "\\x%02x",
				                    byte);
				text += escape.data();
			} else {
				text += static_cast<char>(byte);
			}
		}
	}
	text += '"';
	if (bytes.size() > most)
		text += "...";
	return text;
}

std::size_t utf8_sequence(const std::string &text, std::size_t at)
{
	const auto byte = [&text](std::size_t i) {
		return i < text.size() ? static_cast<unsigned char>(text[i])
		                       : 0U;
	};
	const unsigned lead = byte(at);
	if (lead < 0x80)
		return 1;
	// The range the second byte may take, which the lead narrows.
	unsigned low = 0x80;
	unsigned high = 0xbf;
	std::size_t length = 0;
	if (lead >= 0xc2 && lead <= 0xdf) {
		length = 2;
	} else if (lead >= 0xe0 && lead <= 0xef) {
		length = 3;
		low = lead == 0xe0 ? 0xa0 : low;
		high = lead == 0xed ? 0x9f : high;
	} else if (lead >= 0xf0 && lead <= 0xf4) {
		length = 4;
		low = lead == 0xf0 ? 0x90 : low;
		high = lead == 0xf4 ? 0x8f : high;
	} else {
		return 0;
	}
	if (byte(at + 1) < low || byte(at + 1) > high)
		return 0;
	for (std::size_t i = 2; i < length; ++i)
		if (byte(at + i) < 0x80 || byte(at + i) > 0xbf)
			return 0;
	return length;
}

bool valid_utf8(const std::string &text)
{
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t length = utf8_sequence(text, at);
		if (length == 0)
			return false;
		at += length;
	}
	return true;
}

std::string seconds_text(double seconds)
{
	std::array<char, 32> text{};
	(void)std::snprintf(text.data(), text.size(), "%g s", seconds);
	return text.data();
}

std::size_t columns_of(const std::string &line)
{
	std::size_t columns = 0;
	for (std::size_t at = 0; at < line.size(); ++at) {
		if (line[at] == '\033' && at + 1 < line.size() &&
		    line[at + 1] == '[') {
			// CSI: parameters up to a final byte from '@' to '~'.
			at += 2;
			while (at < line.size() &&
			       (line[at] < '@' || line[at] > '~'))
				++at;
			continue;
		}
		// A UTF-8 continuation byte takes no column of its own.
		if ((static_cast<unsigned char>(line[at]) & 0xc0) != 0x80)
			++columns;
	}
	return columns;
}

namespace
{

// Whether a counter, " NAME=", starts `line` at `at`.
bool counter_at(const std::string &line, std::size_t at)
{
	if (line[at] != ' ')
		return false;
	std::size_t end = at + 1;
	while (end < line.size() &&
	       (std::isalnum(static_cast<unsigned char>(line[end])) != 0 ||
	        line[end] == '_'))
		++end;
	return end > at + 1 && end < line.size() && line[end] == '=';
}

} // namespace

std::string fit_counters(const std::string &line, std::size_t columns,
                         const std::vector<std::string> &first)
{
	if (columns_of(line) <= columns)
		return line;
	// A rule under or over the header.
	if (line.find_first_not_of('-') == std::string::npos)
		return line.substr(0, columns);
	std::vector<std::size_t> starts;
	for (std::size_t at = 0; at < line.size(); ++at)
		if (counter_at(line, at))
			starts.push_back(at);
	if (starts.empty())
		return line;
	starts.push_back(line.size());
	const std::string more = " ...";
	const std::string head = line.substr(0, starts.front());
	std::size_t width = columns_of(head) + more.size();
	// The counters by their place in `first`, the others after them.
	std::vector<std::size_t> order(starts.size() - 1);
	for (std::size_t i = 0; i < order.size(); ++i)
		order[i] = i;
	const auto rank = [&](std::size_t i) {
		const std::size_t from = starts[i] + 1;
		const std::string name =
		    line.substr(from, line.find('=', from) - from);
		return static_cast<std::size_t>(
		    std::find(first.begin(), first.end(), name) -
		    first.begin());
	};
	std::stable_sort(
	    order.begin(), order.end(),
	    [&](std::size_t a, std::size_t b) { return rank(a) < rank(b); });
	std::vector<bool> kept(order.size(), false);
	for (const std::size_t i : order) {
		const std::size_t cost = columns_of(
		    line.substr(starts[i], starts[i + 1] - starts[i]));
		if (width + cost <= columns) {
			kept[i] = true;
			width += cost;
		}
	}
	std::string fitted = head;
	for (std::size_t i = 0; i < kept.size(); ++i)
		if (kept[i])
			fitted +=
			    line.substr(starts[i], starts[i + 1] - starts[i]);
	return fitted + more;
}
