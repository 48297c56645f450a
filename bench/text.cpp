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

std::string seconds_text(double seconds)
{
	std::array<char, 32> text{};
	(void)std::snprintf(text.data(), text.size(), "%g s", seconds);
	return text.data();
}
