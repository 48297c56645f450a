// The bench's command line: its own options, and those of Google
// Benchmark's that it reads too, checked before anything runs.
#pragma once

#include "environment.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct Options {
	std::string program;      // --program, or found beside the bench
	std::string cold_helper;  // --cold-helper, likewise
	std::string parts_helper; // --parts-helper, likewise
	double timeout_seconds = 10;
	int repetitions = 0;
	std::string label;
	std::string out_format = "json";
	std::string console_format = "console";
	std::optional<std::string> out_file; // taken away from the library
	bool force = false; // replace a results file its mode keeps from us
	std::string filter;
	std::string context; // --benchmark_context, extra entries
	bool color = false;  // the console in colour
	bool table = false;  // the library's table before the answer
	std::vector<Variant> variants;
	// --precision, in percent, and --max-time: the rows run in rounds,
	// the first of `repetitions` each.
	std::optional<double> precision;
	std::optional<double> max_seconds;
	bool in_rounds() const { return precision || max_seconds; }
};

// Each repetition keeps about 1 KB until the end; with every row at the
// most, the bench stays within a few GB.
constexpr int most_repetitions = 100000;
// A round's time budget where --precision gives none, in seconds.
constexpr double default_max_seconds = 300;

// The command line as the bench reads it: Google Benchmark's flags that the
// environment sets (BENCHMARK_FILTER for --benchmark_filter, as the library
// reads them) come first, so that the same flag on the command line, coming
// later, wins.
class CommandLine
{
public:
	CommandLine(int argc, char **argv);
	int &argc() { return argc_; }
	char **argv() { return argv_.data(); }

private:
	std::vector<std::string> words_;
	std::vector<char *> argv_; // into words_, ending in a null pointer
	int argc_ = 0;
};

// Takes the bench's own options out of argv, leaving the library's.
// Returns false, having said what is wrong, after a usage error.
[[nodiscard]] bool read_options(int &argc, char **argv, Options &options);

// The bench's options and their defaults, then the library's that it
// honours; for benchmark::Initialize.
void print_help();

// The library's flags that the bench reads itself and keeps from it, set to
// their defaults: put ahead of the rest, they override the values the
// library took from the environment before main.
std::vector<std::string> library_defaults();

// Why an entry of --benchmark_context cannot be used, or "": it may not
// name an entry of the bench's own `context` or of the library's.
[[nodiscard]] std::string check_user_context(
    const std::string &user,
    const std::vector<std::pair<std::string, std::string>> &context);

// Says what is wrong on one line of standard error. Returns 2, the status
// of a usage error.
int usage_error(const std::string &what);
