#include "options.hpp"

#include "machine.hpp"
#include "rows.hpp"
#include "text.hpp"
#include "verdict.hpp"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>

namespace
{

const char *const usage_text =
    "Usage: thread-start-bench [OPTION]... [BENCHMARK OPTION]...\n"
    "Measure what starting a thread costs over many runs, and end with the\n"
    "answer: medians with 95 %% intervals, and what each lever changes.\n"
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
    "(default: 10,\n"
    "                     at most 86400)\n"
    "  --precision=P%%     run in rounds until each figure's interval is\n"
    "                     within P %% of its median, then stop; a row stops\n"
    "                     once its own figures are\n"
    "  --max-time=SECONDS start no round that would end past SECONDS\n"
    "                     (default with --precision: 300, at most 86400)\n"
    "  --benchmark_repetitions=N\n"
    "                     runs of each row, from 2 to %d (default: %d);\n"
    "                     intervals from 6 on, differences and levers from 7;\n"
    "                     in rounds, the first round's (default: %d), each\n"
    "                     later round adding half as many again\n"
    "  --benchmark_out=FILE\n"
    "                     every repetition and the machine, as JSON; FILE\n"
    "                     is replaced only when every run succeeded\n"
    "  --force            replace FILE even if its mode does not let you\n"
    "                     write it\n"
    "  --table            show the library's table of each row's statistics\n"
    "                     before the answer (the context on standard error);\n"
    "                     counters that do not fit the terminal are left out\n"
    "  --check-system     measure nothing: say what makes runs noisy on\n"
    "                     this machine, each with the command that fixes\n"
    "                     it; status 0 if nothing does, 1 if something does\n"
    "  --version          print the version and exit\n"
    "\n"
    "Rows, in the order shown:\n"
    "%s"
    "\n"
    "Rows run interleaved in random order; "
    "--benchmark_enable_random_interleaving=false\n"
    "runs them one after another. A default run takes about 6 s on two\n"
    "quiet cores, most of it starting processes, longer under load, and\n"
    "grows with the repetitions.\n"
    "\n"
    "The answer: the cold and warm thread start, the first line and the\n"
    "program's span in ticks, its process CPU and wall time in us, each a\n"
    "median with its 95 %% interval; each lever's change in %% of its base\n"
    "row's median and its verdict; a warning if the run was disturbed; where\n"
    "the results are, and the command for the rest.\n"
    "\n"
    "Exit status: 0 measured, 1 a run failed, output was lost or the\n"
    "kernel's list of the bench's children cannot be read (the reason on\n"
    "standard error), 2 usage error; killed by a signal, the bench ends\n"
    "the run in progress and removes its temporary file. A run that other\n"
    "processes, steal time or a load above the bench's CPUs disturbed\n"
    "adds a warning to its answer, and its results file says so.\n"
    "\n"
    "Google Benchmark's options that the bench honours:\n"
    "  --benchmark_list_tests={true|false}\n"
    "                     list the rows instead of measuring them\n"
    "  --benchmark_filter=REGEX\n"
    "                     measure the rows whose full names match; a\n"
    "                     leading '-' measures the others\n"
    "  --benchmark_enable_random_interleaving={true|false}\n"
    "                     (default: true)\n"
    "  --benchmark_format={console|json}\n"
    "                     console: the answer (default); json: the\n"
    "                     library's JSON, the answer on standard error\n"
    "  --benchmark_out_format={json|console}\n"
    "                     the results file's format (default: json)\n"
    "  --benchmark_color={auto|true|false}\n"
    "  --benchmark_context=KEY=VALUE[,KEY=VALUE]...\n"
    "                     more entries for the context, under names of\n"
    "                     their own\n"
    "  --v=LEVEL          the library's own messages\n"
    "Each is also read from the environment, BENCHMARK_FILTER for\n"
    "--benchmark_filter and so on; the command line wins. The library's\n"
    "other options are refused: the rows run a set number of iterations,\n"
    "the table shows each row's aggregates in microseconds and the\n"
    "results file every repetition.\n";

constexpr int default_repetitions = 200;
// The first round's repetitions of a run in rounds.
constexpr int default_first_round = 20;
// The options that --help shows the defaults of.
const Options *shown = nullptr;
// How many words after the program's name the environment gave.
int environment_words = 0;

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

// A precision in percent, above 0 and below 100, with or without its '%'.
std::optional<double> precision_flag(std::string text)
{
	if (!text.empty() && text.back() == '%')
		text.pop_back();
	const std::optional<double> percent = timeout_flag(text);
	if (!percent || *percent >= 100)
		return std::nullopt;
	return percent;
}

// A label of 1 to 100 printable characters, in UTF-8.
std::optional<std::string> label_flag(const std::string &text)
{
	const bool control = std::any_of(text.begin(), text.end(), [](char c) {
		return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
	});
	if (text.empty() || text.size() > 100 || control || !valid_utf8(text))
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
[[nodiscard]] bool read_flag(int &argc, char **argv, const char *prefix,
                             bool remove, Parse parse, const char *must_be,
                             T &value)
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

// A value of a flag that the library reads as true, as it reads it.
bool truthy(const std::string &value)
{
	if (value.size() == 1)
		return std::isalnum(static_cast<unsigned char>(value[0])) !=
		           0 &&
		       std::strchr("0fFnN", value[0]) == nullptr;
	std::string lower;
	for (const char c : value)
		lower += static_cast<char>(
		    std::tolower(static_cast<unsigned char>(c)));
	return lower != "false" && lower != "no" && lower != "off";
}

// Google Benchmark's flags, from 1.7 to 1.9, that the bench does not honour
// with some or all values: their names and why not.
struct RefusedFlag {
	const char *name;
	bool (*refuses)(const std::string &value);
	const char *why;
};

const RefusedFlag refused_flags[] = {
    {"benchmark_min_time", [](const std::string &) { return true; },
     "each repetition is a set number of iterations"},
    {"benchmark_min_warmup_time", [](const std::string &) { return true; },
     "no row is warmed up: each repetition starts the program afresh"},
    {"benchmark_dry_run", [](const std::string &) { return true; },
     "--benchmark_list_tests=true lists the rows"},
    {"benchmark_report_aggregates_only", truthy,
     "the results file keeps every repetition, which the analysis needs"},
    {"benchmark_display_aggregates_only",
     [](const std::string &value) { return !truthy(value); },
     "the console shows each row's aggregates only"},
    {"benchmark_counters_tabular", truthy,
     "the console's counters are not in a table"},
    {"benchmark_time_unit",
     [](const std::string &value) { return value != "us"; },
     "times are in microseconds (us)"},
    {"benchmark_perf_counters",
     [](const std::string &value) { return !value.empty(); },
     "performance counters are not read"},
};

// Every flag the library reads from the environment too.
const char *const library_flags[] = {
    "benchmark_list_tests",
    "benchmark_filter",
    "benchmark_min_time",
    "benchmark_min_warmup_time",
    "benchmark_repetitions",
    "benchmark_dry_run",
    "benchmark_enable_random_interleaving",
    "benchmark_report_aggregates_only",
    "benchmark_display_aggregates_only",
    "benchmark_format",
    "benchmark_out_format",
    "benchmark_out",
    "benchmark_color",
    "benchmark_counters_tabular",
    "benchmark_perf_counters",
    "benchmark_context",
    "benchmark_time_unit",
};

// The variable the library reads flag `name` from: its name in capitals.
std::string variable_of(const char *name)
{
	std::string variable;
	for (const char *c = name; *c != '\0'; ++c)
		variable += static_cast<char>(
		    std::toupper(static_cast<unsigned char>(*c)));
	return variable;
}

// The value of the flag `name` in `argument` ("" for a bare boolean flag),
// if it is that flag.
std::optional<std::string> flag_value(const char *argument, const char *name)
{
	if (std::strncmp(argument, "--", 2) != 0)
		return std::nullopt;
	const std::size_t length = std::strlen(name);
	if (std::strncmp(argument + 2, name, length) != 0)
		return std::nullopt;
	const char *rest = argument + 2 + length;
	if (*rest == '\0')
		return std::string();
	if (*rest != '=')
		return std::nullopt;
	return std::string(rest + 1);
}

// Says why the first library flag that the bench refuses cannot be used,
// and returns false; true if there is none.
[[nodiscard]] bool check_refused_flags(int argc, char **argv)
{
	for (int i = 1; i < argc; ++i)
		for (const RefusedFlag &refused : refused_flags) {
			const std::optional<std::string> value =
			    flag_value(argv[i], refused.name);
			// A bare boolean flag is true.
			if (!value ||
			    !refused.refuses(value->empty() ? "true" : *value))
				continue;
			const std::string where =
			    i <= environment_words ? variable_of(refused.name) +
			                                 " in the environment: "
			                           : "";
			usage_error(where + quoted(argv[i]) +
			            " is not for this bench: " + refused.why +
			            " (try --help)");
			return false;
		}
	return true;
}

// Whether the flag `name`, which takes no value, is given; takes it out of
// argv.
bool switch_flag(int &argc, char **argv, const char *name)
{
	char **const end =
	    std::remove_if(argv + 1, argv + argc, [name](char *word) {
		    return std::strcmp(word, name) == 0;
	    });
	const bool given = end != argv + argc;
	argc = static_cast<int>(end - argv);
	argv[argc] = nullptr;
	return given;
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

CommandLine::CommandLine(int argc, char **argv)
{
	words_.emplace_back(argc > 0 ? argv[0] : "thread-start-bench");
	for (const char *name : library_flags) {
		// NOLINTNEXTLINE(concurrency-mt-unsafe): no thread runs yet
		const char *value = std::getenv(variable_of(name).c_str());
		if (value != nullptr)
			words_.push_back(std::string("--") + name + "=" +
			                 value);
	}
	environment_words = static_cast<int>(words_.size()) - 1;
	for (int i = 1; i < argc; ++i)
		words_.emplace_back(argv[i]);
	std::transform(words_.begin(), words_.end(), std::back_inserter(argv_),
	               [](std::string &word) { return word.data(); });
	argc_ = static_cast<int>(words_.size());
	argv_.push_back(nullptr);
}

std::vector<std::string> library_defaults()
{
	return {"--benchmark_out=", "--benchmark_out_format=json",
	        "--benchmark_format=console"};
}

std::string check_user_context(
    const std::string &user,
    const std::vector<std::pair<std::string, std::string>> &context)
{
	// The entries the library writes itself.
	static const char *const library_entries[] = {"date",
	                                              "host_name",
	                                              "executable",
	                                              "num_cpus",
	                                              "mhz_per_cpu",
	                                              "cpu_scaling_enabled",
	                                              "caches",
	                                              "load_avg",
	                                              "library_version",
	                                              "library_build_type",
	                                              "json_schema_version"};
	std::size_t start = 0;
	while (start <= user.size() && !user.empty()) {
		std::size_t end = user.find(',', start);
		if (end == std::string::npos)
			end = user.size();
		const std::string entry = user.substr(start, end - start);
		const std::size_t equals = entry.find('=');
		if (equals == std::string::npos || equals == 0)
			return "--benchmark_context: " + quoted(entry) +
			       " is not KEY=VALUE";
		const std::string key = entry.substr(0, equals);
		if (!valid_utf8(entry))
			return "--benchmark_context: " + quoted(entry) +
			       " is not UTF-8";
		const bool library = std::any_of(
		    std::begin(library_entries), std::end(library_entries),
		    [&key](const char *name) { return key == name; });
		// The bench writes cpu_features on arm64 only; it is its own on
		// every machine, so that files from all compare alike.
		const bool bench = key == "cpu_features" ||
		                   std::any_of(context.begin(), context.end(),
		                               [&key](const auto &pair) {
			                               return pair.first == key;
		                               });
		if (library || bench)
			return "--benchmark_context: " + quoted(key) +
			       " is an entry of the " +
			       (bench ? "bench's" : "library's") +
			       " own; name yours otherwise";
		start = end + 1;
	}
	return "";
}

int usage_error(const std::string &what)
{
	(void)std::fprintf(stderr, "thread-start-bench: %s\n", what.c_str());
	return 2;
}

void print_help()
{
	// Each row, and what it measures from the 22nd column on.
	std::string rows;
	for (const Row &row : all_rows({"NAME"})) {
		const std::size_t column = 19;
		rows += "  " + row.name;
		rows += row.name.size() < column
		            ? std::string(column - row.name.size(), ' ')
		            : "\n" + std::string(column + 2, ' ');
		rows += row.measures + "\n";
	}
	std::printf(usage_text, shown->program.c_str(),
	            shown->cold_helper.c_str(), shown->parts_helper.c_str(),
	            most_repetitions, default_repetitions, default_first_round,
	            rows.c_str());
}

// Takes the bench's own options out of argv. Returns false, having said
// what is wrong, after a usage error.
bool read_options(int &argc, char **argv, Options &options)
{
	shown = &options;
	if (!check_refused_flags(argc, argv))
		return false;
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
	double precision = 0;
	double max_seconds = 0;
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
	    !read_flag(argc, argv, "--precision=", true, precision_flag,
	               "a percentage above 0 and below 100", precision) ||
	    !read_flag(argc, argv, "--max-time=", true, timeout_flag,
	               "a number of seconds above 0 and at most 86400",
	               max_seconds) ||
	    !read_flag(argc, argv, "--label=", true, label_flag,
	               "1 to 100 printable characters", options.label) ||
	    !read_flag(argc, argv, "--benchmark_out_format=", true, format_flag,
	               "json or console", options.out_format) ||
	    !read_flag(argc, argv, "--benchmark_format=", true, format_flag,
	               "json or console", options.console_format))
		return false;

	const std::vector<std::string> taken = taken_variant_names();
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
	options.force = switch_flag(argc, argv, "--force");
	options.table = switch_flag(argc, argv, "--table");
	if (options.table && options.console_format == "json") {
		usage_error("--table shows the library's table, "
		            "--benchmark_format=json its JSON: not both "
		            "(try --help)");
		return false;
	}
	// Neither is ever 0 or below once read.
	if (precision > 0)
		options.precision = precision;
	if (max_seconds > 0)
		options.max_seconds = max_seconds;
	if (options.table && options.in_rounds()) {
		usage_error("--table shows the library's statistics of one "
		            "round: not with --precision or --max-time "
		            "(try --help)");
		return false;
	}
	if (options.in_rounds() &&
	    !flag(argc, argv, "--benchmark_repetitions=", false))
		options.repetitions = default_first_round;
	options.filter =
	    flag(argc, argv, "--benchmark_filter=", false).value_or(".");
	// Checked against the context once it is known, then the library's.
	for (const std::string &entries :
	     flags(argc, argv, "--benchmark_context=", false))
		options.context +=
		    (options.context.empty() ? "" : ",") + entries;
	options.color = use_color(
	    flag(argc, argv, "--benchmark_color=", false).value_or("auto"));
	return true;
}
