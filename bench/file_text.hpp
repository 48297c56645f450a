// Reading a small file whole, for the machine context on any architecture.
#pragma once

#include <cstddef>
#include <string>

// The text of a file, up to `most` bytes, or "" when it cannot be read.
std::string file_text(const std::string &path, std::size_t most = 65536);
