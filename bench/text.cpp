#include "text.hpp"

#include <array>
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
