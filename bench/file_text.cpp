#include "file_text.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

std::string file_text(const std::string &path, std::size_t most)
{
	const std::unique_ptr<FILE, int (*)(FILE *)> file(
	    std::fopen(path.c_str(), "re"), std::fclose);
	if (!file)
		return "";
	std::string text;
	std::array<char, 4096> block{};
	while (text.size() < most) {
		const std::size_t got = std::fread(
		    block.data(), 1, std::min(block.size(), most - text.size()),
		    file.get());
		text.append(block.data(), got);
		if (got == 0)
			break;
	}
	return text;
}
