#include "options.hpp"

#include "limited_run.hpp"
#include "machine.hpp"
#include "report.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace
{

const char *const usage_text =
    "Usage: thread-start-bench [OPTION]... [BENCHMARK OPTION]...\n"
    "Measure what starting a thread costs, as percentiles of many runs.\n"
    "\n"
    "  --program=PATH     thread-start-time to measure\n"
    "                     (default: %s)\n"
    "  --cold-helper=PATH cold-thread-start to measure\n"
    "                     (default: %s)\n"
    "  --parts-helper=PATH\n"
    "                     thread-start-parts to measure\n"
    "                     (default: %s)\n"
    "  --variant=NAME:VAR=VALUE\n"
    "                     add a row program_run/NAME that runs the program\n"
    "                     with VAR set to VALUE; repeat to set more\n"
    "  --label=TEXT       name these results in their context\n"
    "  --timeout=SECONDS  stop the bench if one run takes longer "
    "(default: 10)\n"
    "  --benchmark_repetitions=N\n"
    "                     runs of each row, from 2 to %d (default: %d)\n"
    "  --benchmark_out=FILE\n"
    "                     every repetition and the machine, as JSON; FILE\n"
    "                     is replaced only when every run succeeded\n"
    "\n"
    "Rows run interleaved in random order; "
    "--benchmark_enable_random_interleaving=false\n"
    "runs them one after another. A default run takes 2 to 5 s on two\n"
    "cores, most of it starting processes, and grows with the repetitions.\n"
    "\n"
    "Exit status: 0 measured, 1 a run failed or output was lost (the\n"
    "reason on standard error), 2 usage error; killed by a signal, the\n"
    "bench ends the run in progress and removes its temporary file.\n"
    "\n"
    "Google Benchmark's options:\n";

constexpr int default_repetitions = 200;
// Each repetition keeps about 1 KB until the end; with every row at the
// most, the bench stays within a few GB.
constexpr int most_repetitions = 100000;
// The options that --help shows the defaults of.
const Options *shown = nullptr;

// The values of every argument starting with `prefix`, in order; with
// `remove`, takes those arguments out of argv.
std::vector<std::string> flags(int &argc, char **argv, const char *prefix,
                               bool remove)
{
	const std::size_t length = std::strlen(prefix);
	std::vector<std::string> values;
	int kept = 1;
	for (int i = 1; i < argc; ++i) {
		const bool match = std::strncmp(argv[i], prefix, length) == 0;
		if (match)
			values.emplace_back(argv[i] + length);
		if (!match || !remove)
			argv[kept++] = argv[i];
	}
	argc = kept;
	argv[argc] = nullptr;
	return values;
}

// The value of the last argument starting with `prefix`, if any.
std::optional<std::string> flag(int &argc, char **argv, const char *prefix,
                                bool remove)
{
	std::vector<std::string> values = flags(argc, argv, prefix, remove);
	if (values.empty())
		return std::nullopt;
	return values.back();
}

// Repetitions from 2 (percentiles need two) to the most, if `text` is one.
std::optional<int> repetitions_flag(const std::string &text)
{
	const std::optional<long> n = parse_count(text);
	if (!n || *n < 2 || *n > most_repetitions)
		return std::nullopt;
	return static_cast<int>(*n);
}

// Seconds above 0 and at most a day, written as plain decimals.
std::optional<double> timeout_flag(const std::string &text)
{
	if (text.empty() ||
	    text.find_first_not_of("0123456789.") != std::string::npos)
		return std::nullopt;
	char *end = nullptr;
	const double seconds = std::strtod(text.c_str(), &end);
	if (*end != '\0' || seconds <= 0 || seconds > 86400)
		return std::nullopt;
	return seconds;
}

// A label of 1 to 100 printable characters.
std::optional<std::string> label_flag(const std::string &text)
{
	const bool control = std::any_of(text.begin(), text.end(), [](char c) {
		return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
	});
	if (text.empty() || text.size() > 100 || control)
		return std::nullopt;
	return text;
}

std::optional<std::string> format_flag(const std::string &text)
{
	if (text != "console" && text != "json")
		return std::nullopt;
	return text;
}

// The first of `candidates`, paths relative to the directory this program
// was started from, that exists; the first if none does. Found this way,
// the programs it measures go with it wherever it is installed.
std::string beside_this_program(std::initializer_list<const char *> candidates)
{
	std::string directory = resolved("/proc/self/exe");
	directory.erase(directory.rfind('/') + 1);
	for (const char *candidate : candidates)
		if (access((directory + candidate).c_str(), X_OK) == 0)
			return directory + candidate;
	return directory + *candidates.begin();
}

// Reads the flag `prefix` with `parse` into `value`, if it is given.
// Returns false, having said what the value must be, if it cannot be read.
template <typename T, typename Parse>
bool read_flag(int &argc, char **argv, const char *prefix, bool remove,
               Parse parse, const char *must_be, T &value)
{
	const std::optional<std::string> text =
	    flag(argc, argv, prefix, remove);
	if (!text)
		return true;
	const std::optional<T> parsed = parse(*text);
	if (!parsed) {
		const std::string name(prefix, std::strlen(prefix) - 1);
		(void)std::fprintf(stderr,
		                   "thread-start-bench: %s must be %s, not %s "
		                   "(try --help)\n",
		                   name.c_str(), must_be,
		                   quoted(*text).c_str());
		return false;
	}
	value = *parsed;
	return true;
}

// Whether the console is coloured, as the library would decide.
bool use_color(const std::string &color)
{
	if (color != "auto")
		return color == "true" || color == "yes";
	// NOLINTNEXTLINE(concurrency-mt-unsafe): nothing changes it
	const char *term = std::getenv("TERM");
	return isatty(STDOUT_FILENO) == 1 && term != nullptr &&
	       std::strcmp(term, "dumb") != 0;
}

} // namespace

int usage_error(const std::string &what)
{
	(void)std::fprintf(stderr, "thread-start-bench: %s\n", what.c_str());
	return 2;
}

void print_help()
{
	std::printf(usage_text, shown->program.c_str(),
	            shown->cold_helper.c_str(), shown->parts_helper.c_str(),
	            most_repetitions, default_repetitions);
	benchmark::PrintDefaultHelp();
}

// Takes the bench's own options out of argv. Returns false, having said
// what is wrong, after a usage error.
bool read_options(int &argc, char **argv, Options &options)
{
	shown = &options;
	options.repetitions = default_repetitions;
	options.program =
	    flag(argc, argv, "--program=", true)
	        .value_or(beside_this_program({PROGRAM_FROM_BENCH}));
	options.cold_helper =
	    flag(argc, argv, "--cold-helper=", true)
	        .value_or(beside_this_program(
	            {LIBEXEC_FROM_INSTALLED_BENCH "cold-thread-start",
	             HELPERS_FROM_BUILT_BENCH "cold-thread-start"}));
	options.parts_helper =
	    flag(argc, argv, "--parts-helper=", true)
	        .value_or(beside_this_program(
	            {LIBEXEC_FROM_INSTALLED_BENCH "thread-start-parts",
	             HELPERS_FROM_BUILT_BENCH "thread-start-parts"}));
	// A count fixed in code wins over Google Benchmark's own flag, so the
	// flag is read here and left in place for it.
	if (!read_flag(argc, argv, "--timeout=", true, timeout_flag,
	               "a number of seconds above 0 and at most 86400",
	               options.timeout_seconds) ||
	    !read_flag(
	        argc, argv, "--benchmark_repetitions=", false, repetitions_flag,
	        ("a whole number from 2 to " + std::to_string(most_repetitions))
	            .c_str(),
	        options.repetitions) ||
	    !read_flag(argc, argv, "--label=", true, label_flag,
	               "1 to 100 printable characters", options.label) ||
	    !read_flag(argc, argv, "--benchmark_out_format=", true, format_flag,
	               "json or console", options.out_format) ||
	    !read_flag(argc, argv, "--benchmark_format=", true, format_flag,
	               "json or console", options.console_format))
		return false;

	const std::vector<std::string> taken = {"pipe", "pipe_one_arena",
	                                        "pinned", "tty"};
	for (const std::string &text : flags(argc, argv, "--variant=", true)) {
		const std::string wrong =
		    add_variant(options.variants, text, taken);
		if (!wrong.empty()) {
			usage_error("--variant " + quoted(text) + ": " + wrong +
			            " (try --help)");
			return false;
		}
	}
	// The library would open (and empty) the file before it knew that
	// anything will be measured; the bench writes it itself.
	options.out_file = flag(argc, argv, "--benchmark_out=", true);
	options.filter =
	    flag(argc, argv, "--benchmark_filter=", false).value_or(".");
	options.color = use_color(
	    flag(argc, argv, "--benchmark_color=", false).value_or("auto"));
	return true;
}
