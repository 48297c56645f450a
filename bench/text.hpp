// Text for messages, for any part of the bench: error numbers and bytes
// written so that a reader sees exactly what they were.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The text of error number `error`.
std::string error_text(int error);

// `what`, a colon and the text of the error in errno.
std::string errno_text(const std::string &what);

// `bytes` in double quotes, with control characters, quotes and non-ASCII
// bytes escaped as C writes them, and cut after `most` bytes with "...".
std::string quoted(const std::string &bytes, std::size_t most = 120);

// The length of the UTF-8 sequence that starts `text` at `at`: 1 to 4, or
// 0 if the bytes there are not one (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF).
std::size_t utf8_sequence(const std::string &text, std::size_t at);

// Whether `text` is all valid UTF-8.
bool valid_utf8(const std::string &text);

// A number of seconds as "%g s" writes it.
std::string seconds_text(double seconds);

// The columns `line` takes on a terminal: its UTF-8 characters, less the
// escape sequences that colour it.
std::size_t columns_of(const std::string &line);

// `line` cut to `columns`: where it is wider, its trailing counters
// (" NAME=VALUE" each) that do not fit are left out, those named in
// `first` kept before the others, and " ..." says so. A line still too
// wide without any is left as it is; a rule of dashes is cut.
std::string fit_counters(const std::string &line, std::size_t columns,
                         const std::vector<std::string> &first);
