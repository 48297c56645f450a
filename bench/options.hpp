// The bench's command line: its own options, and those of Google
// Benchmark's that it reads too, checked before anything runs.
#pragma once

#include "environment.hpp"

#include <optional>
#include <string>
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
	std::string filter;
	bool color = false; // the console in colour
	std::vector<Variant> variants;
};

// Takes the bench's own options out of argv, leaving the library's.
// Returns false, having said what is wrong, after a usage error.
bool read_options(int &argc, char **argv, Options &options);

// The bench's options and their defaults, then the library's; for
// benchmark::Initialize.
void print_help();

// Says what is wrong on one line of standard error. Returns 2, the status
// of a usage error.
int usage_error(const std::string &what);
