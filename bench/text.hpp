// Text for messages, for any part of the bench: error numbers and bytes
// written so that a reader sees exactly what they were.
#pragma once

#include <cstddef>
#include <string>

// The text of error number `error`.
std::string error_text(int error);

// `what`, a colon and the text of the error in errno.
std::string errno_text(const std::string &what);

// `bytes` in double quotes, with control characters, quotes and non-ASCII
// bytes escaped as C writes them, and cut after `most` bytes with "...".
std::string quoted(const std::string &bytes, std::size_t most = 120);

// A number of seconds as "%g s" writes it.
std::string seconds_text(double seconds);
