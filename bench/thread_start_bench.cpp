// thread-start-bench: repeated measurements of what starting a thread costs,
// reported as percentiles. Its rows, in the order it shows them:
//
//   program_run/pipe   thread-start-time, one process per repetition, its
//                      standard output a pipe; counter `ticks` is the number
//                      it prints, the time is the process's wall time
//   program_run/pipe_one_arena
//                      the same with glibc.malloc.arena_max=1 added to
//                      GLIBC_TUNABLES: the new thread's first malloc finds
//                      the main heap arena instead of making one of its own
//   program_run/pinned the same as program_run/pipe, pinned to one CPU
//   program_run/NAME   the same with a user's --variant's variables set
//   program_run/tty    the same as program_run/pipe with standard output on
//                      a pseudo-terminal, where the first line is written
//                      inside the span
//   program_parts/default, own_stack, small_stack
//                      thread-start-parts: the span split into the creator,
//                      the new thread's start, its first line and the rest;
//                      with default attributes, a stack of its own made
//                      before the span, a 64 KiB stack
//   cold_thread_start  cold-thread-start, which measures the thread start
//                      alone, without a first line
//   warm_create_join   create and join a thread that does nothing, in this
//                      process, 100 times a repetition: processor time of
//                      all threads and wall time, per thread
//
// The repetitions of all rows run interleaved in random order, so that drift
// falls on every row alike. The console shows percentiles; the results file
// of --benchmark_out holds every repetition, and the machine the results
// were measured on in its context. Every run is checked: the first that
// fails, hangs, floods its output or reports anything but a count stops the
// bench with its reason, and no file is written from fewer runs than were
// asked; a file the user had is left as it was.

#include "environment.hpp"
#include "interrupt.hpp"
#include "limited_run.hpp"
#include "machine.hpp"
#include "progress.hpp"
#include "report.hpp"
#include "reporters.hpp"
#include "results_file.hpp"
#include "statistics.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <regex.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
// Threads created and joined in one repetition of warm_create_join.
constexpr int warm_threads = 100;

std::string program;      // --program, or found beside the bench
std::string cold_helper;  // --cold-helper, likewise
std::string parts_helper; // --parts-helper, likewise
Limits limits;
ResultsFile results;
bool writing_results = false;

// Stops the bench at once: one line on standard error, status 1. What the
// rows already printed stays; the results file is not written.
[[noreturn]] void stop(const std::string &row, const std::string &program_path,
                       const std::string &what)
{
	progress().clear();
	(void)std::fflush(stdout);
	(void)std::fprintf(stderr, "thread-start-bench: %s: %s: %s\n",
	                   row.c_str(), program_path.c_str(), what.c_str());
	ResultsFile::discard();
	std::_Exit(1);
}

enum class Reads { program_report, helper_report, parts_report };

// A row whose every repetition is one run of a program.
struct ProcessRow {
	std::string name;
	Reads reads;
	Command command;
};

void store_parts(benchmark::State &state, const Parts &parts)
{
	state.counters["ticks"] = static_cast<double>(parts.ticks);
	state.counters["creator"] = parts.creator;
	state.counters["new_thread"] = parts.new_thread;
	state.counters["first_line"] = parts.first_line;
	state.counters["rest"] = parts.rest;
}

void process_run(benchmark::State &state, const ProcessRow *row)
{
	for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
		const Outcome run = run_limited(row->command, limits);
		const std::string wrong = what_went_wrong(run);
		if (!wrong.empty())
			stop(row->name, row->command.path, wrong);
		std::optional<long> ticks;
		if (row->reads == Reads::parts_report) {
			const std::optional<Parts> parts =
			    parts_report(run.out);
			if (parts) {
				store_parts(state, *parts);
				ticks = parts->ticks;
			}
		} else if (row->reads == Reads::helper_report) {
			ticks = helper_ticks(run.out);
		} else {
			ticks = program_ticks(run.out, row->command.output ==
			                                       Output::terminal
			                                   ? "\r\n"
			                                   : "\n");
		}
		if (!ticks)
			stop(row->name, row->command.path,
			     "unexpected report: " + quoted(run.out));
		state.SetIterationTime(run.seconds);
		state.counters["ticks"] = static_cast<double>(*ticks);
		state.counters["process_cpu"] = run.cpu_seconds * 1e6;
	}
	progress().step();
}

void *do_nothing(void * /*arg*/)
{
	return nullptr;
}

void warm_create_join(benchmark::State &state)
{
	const std::clock_t before = std::clock();
	for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
		pthread_t thread{};
		const int created =
		    pthread_create(&thread, nullptr, do_nothing, nullptr);
		if (created != 0)
			stop("warm_create_join", "pthread_create",
			     error_text(created));
		pthread_join(thread, nullptr);
	}
	state.counters["ticks"] =
	    benchmark::Counter(static_cast<double>(std::clock() - before),
	                       benchmark::Counter::kAvgIterations);
	progress().step();
}

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

int usage_error(const std::string &what)
{
	(void)std::fprintf(stderr, "thread-start-bench: %s\n", what.c_str());
	return 2;
}

void print_help()
{
	std::printf(usage_text, program.c_str(), cold_helper.c_str(),
	            parts_helper.c_str(), most_repetitions,
	            default_repetitions);
	benchmark::PrintDefaultHelp();
}

// Descriptors 0, 1 and 2 that were closed at start are opened on
// /dev/null, so that no file the bench opens later takes their place.
void open_standard_descriptors()
{
	for (int fd = 0; fd <= 2; ++fd)
		if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
		    open("/dev/null", O_RDWR) < 0)
			std::_Exit(1);
}

// The first CPU this process may use, or 0.
int first_cpu()
{
	cpu_set_t cpus;
	CPU_ZERO(&cpus);
	if (sched_getaffinity(0, sizeof cpus, &cpus) == 0)
		for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
			if (CPU_ISSET(static_cast<std::size_t>(cpu), &cpus))
				return cpu;
	return 0;
}

// The rows that Google Benchmark's --benchmark_filter selects, matched as
// the library matches it: an extended regular expression searched for in
// the full name, a leading '-' negating it.
std::vector<std::string> selected(const std::vector<std::string> &rows,
                                  const std::vector<std::string> &full_names,
                                  std::string filter)
{
	bool negated = false;
	if (!filter.empty() && filter[0] == '-') {
		negated = true;
		filter.erase(0, 1);
	}
	if (filter.empty() || filter == "all")
		filter = ".";
	std::vector<std::string> chosen;
	regex_t pattern;
	// One the library cannot read either: it says what is wrong.
	if (regcomp(&pattern, filter.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
		return chosen;
	for (std::size_t i = 0; i < rows.size(); ++i)
		if ((regexec(&pattern, full_names[i].c_str(), 0, nullptr, 0) ==
		     0) != negated)
			chosen.push_back(rows[i]);
	regfree(&pattern);
	return chosen;
}

// Checks that standard output took everything written to it; `earlier`
// is the error of a write that failed before. Returns "" or why not.
std::string close_stdout(int earlier)
{
	const bool lost_earlier = std::ferror(stdout) != 0 || earlier != 0;
	errno = 0;
	if (std::fclose(stdout) != 0 || lost_earlier)
		return std::string("standard output: ") +
		       error_text(earlier != 0 ? earlier
		                  : errno != 0 ? errno
		                               : EIO);
	return "";
}

// The bench's own options, and the library's that it reads too.
struct Options {
	int repetitions = default_repetitions;
	std::string label;
	std::string out_format = "json";
	std::string console_format = "console";
	std::optional<std::string> out_file;
	std::string filter;
	std::string color;
	std::vector<Variant> variants;
};

// Takes the bench's own options out of argv. Returns false, having said
// what is wrong, after a usage error.
bool read_options(int &argc, char **argv, Options &options)
{
	program = flag(argc, argv, "--program=", true)
	              .value_or(beside_this_program({PROGRAM_FROM_BENCH}));
	cold_helper = flag(argc, argv, "--cold-helper=", true)
	                  .value_or(beside_this_program(
	                      {LIBEXEC_FROM_INSTALLED_BENCH "cold-thread-start",
	                       HELPERS_FROM_BUILT_BENCH "cold-thread-start"}));
	parts_helper =
	    flag(argc, argv, "--parts-helper=", true)
	        .value_or(beside_this_program(
	            {LIBEXEC_FROM_INSTALLED_BENCH "thread-start-parts",
	             HELPERS_FROM_BUILT_BENCH "thread-start-parts"}));
	// A count fixed in code wins over Google Benchmark's own flag, so the
	// flag is read here and left in place for it.
	if (!read_flag(argc, argv, "--timeout=", true, timeout_flag,
	               "a number of seconds above 0 and at most 86400",
	               limits.timeout_seconds) ||
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
	options.color =
	    flag(argc, argv, "--benchmark_color=", false).value_or("auto");
	return true;
}

// Hands the rest of the options to Google Benchmark, with interleaving on
// unless the user's own flag, which comes later and so wins, turns it off.
// Returns false after a usage error.
bool initialize_library(int argc, char **argv)
{
	std::vector<char *> args(argv, argv + argc);
	std::string interleave = "--benchmark_enable_random_interleaving=true";
	args.insert(args.begin() + 1, interleave.data());
	args.push_back(nullptr);
	int count = argc + 1;
	benchmark::Initialize(&count, args.data(), print_help);
	return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

// The environments of the rows, made once: the rows point into them.
struct Environments {
	Environment plain;
	Environment one_arena;
	std::vector<Environment> variants;
};

std::vector<ProcessRow> process_rows(Environments &environments,
                                     const std::vector<Variant> &variants,
                                     int cpu)
{
	environments.one_arena.add_tunable("glibc.malloc.arena_max=1");
	environments.variants.resize(variants.size());
	char *const *plain = environments.plain.get();
	std::vector<ProcessRow> rows;
	const auto add = [&rows](const std::string &name, Reads reads,
	                         Command command) {
		rows.push_back({name, reads, std::move(command)});
	};
	add("program_run/pipe", Reads::program_report, {program, {}, plain});
	add("program_run/pipe_one_arena", Reads::program_report,
	    {program, {}, environments.one_arena.get()});
	add("program_run/pinned", Reads::program_report,
	    {program, {}, plain, Output::pipe, cpu});
	for (std::size_t i = 0; i < variants.size(); ++i) {
		for (const auto &[name, value] : variants[i].assignments)
			environments.variants[i].set(name, value);
		add("program_run/" + variants[i].name, Reads::program_report,
		    {program, {}, environments.variants[i].get()});
	}
	add("program_run/tty", Reads::program_report,
	    {program, {}, plain, Output::terminal});
	add("program_parts/default", Reads::parts_report,
	    {parts_helper, {}, plain});
	add("program_parts/own_stack", Reads::parts_report,
	    {parts_helper, {"own-stack"}, plain});
	add("program_parts/small_stack", Reads::parts_report,
	    {parts_helper, {"small-stack"}, plain});
	add("cold_thread_start", Reads::helper_report,
	    {cold_helper, {}, plain});
	return rows;
}

// Registers every row with the library, in the bench's order. Returns the
// rows' names and their full names as the library's filter sees them.
std::pair<std::vector<std::string>, std::vector<std::string>>
register_rows(const std::vector<ProcessRow> &rows, int repetitions)
{
	std::vector<std::string> names;
	std::vector<std::string> full_names;
	const std::string repeats = "/repeats:" + std::to_string(repetitions);
	for (const ProcessRow &row : rows) {
		with_statistics(benchmark::RegisterBenchmark(row.name.c_str(),
		                                             process_run, &row)
		                    ->Iterations(1)
		                    ->UseManualTime(),
		                repetitions);
		names.push_back(row.name);
		full_names.push_back(row.name + "/iterations:1" + repeats +
		                     "/manual_time");
	}
	with_statistics(
	    benchmark::RegisterBenchmark("warm_create_join", warm_create_join)
	        ->Iterations(warm_threads)
	        ->MeasureProcessCPUTime()
	        ->UseRealTime(),
	    repetitions);
	names.emplace_back("warm_create_join");
	full_names.push_back(
	    "warm_create_join/iterations:" + std::to_string(warm_threads) +
	    repeats + "/process_time/real_time");
	return {names, full_names};
}

void add_context(const Options &options, int cpu)
{
	benchmark::AddCustomContext("program", resolved(program));
	benchmark::AddCustomContext("cold_helper", resolved(cold_helper));
	benchmark::AddCustomContext("parts_helper", resolved(parts_helper));
	if (!options.label.empty())
		benchmark::AddCustomContext("label", options.label);
	benchmark::AddCustomContext("variants", describe(options.variants));
	benchmark::AddCustomContext("pinned_cpu", std::to_string(cpu));
	for (const auto &[name, value] : machine_context())
		benchmark::AddCustomContext(name, value);
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

// Puts the results file in place and checks that the console was written.
// Returns the exit status.
int finish(const Reporters &reporters)
{
	std::string lost;
	if (writing_results)
		lost = results.commit();
	const std::string console = close_stdout(reporters.console_error());
	if (lost.empty())
		lost = console;
	if (!lost.empty()) {
		(void)std::fprintf(stderr, "thread-start-bench: %s\n",
		                   lost.c_str());
		return 1;
	}
	return std::fflush(stderr) == 0 && std::ferror(stderr) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	open_standard_descriptors();
	Options options;
	if (!read_options(argc, argv, options) ||
	    !initialize_library(argc, argv))
		return 2;
	clean_up_when_interrupted();
	if (!become_subreaper())
		return usage_error("cannot become a subreaper: " +
		                   error_text(errno));
	if (options.out_file) {
		const std::string wrong = results.open(
		    *options.out_file, {program, cold_helper, parts_helper,
		                        resolved("/proc/self/exe")});
		if (!wrong.empty())
			return usage_error(wrong);
		writing_results = true;
	}

	const int cpu = first_cpu();
	add_context(options, cpu);
	Environments environments;
	const std::vector<ProcessRow> rows =
	    process_rows(environments, options.variants, cpu);
	const auto [names, full_names] =
	    register_rows(rows, options.repetitions);
	const std::vector<std::string> expected =
	    selected(names, full_names, options.filter);

	std::unique_ptr<benchmark::BenchmarkReporter> file;
	if (writing_results) {
		file = make_reporter(options.out_format, false);
		file->SetOutputStream(&results.stream());
		file->SetErrorStream(&results.stream());
	}
	Reporters reporters(
	    make_reporter(options.console_format, use_color(options.color)),
	    std::move(file), names, expected);
	progress().start(static_cast<long>(expected.size()) *
	                 options.repetitions);

	// A run that fails never returns here. No row selected: the library
	// has said so on standard error.
	const std::size_t ran = benchmark::RunSpecifiedBenchmarks(&reporters);
	benchmark::Shutdown();
	progress().clear();
	if (ran == 0 || !reporters.reported()) {
		// Nothing measured (or only listed): no results file.
		ResultsFile::discard();
		return ran == 0 ? 2 : close_stdout(0).empty() ? 0 : 1;
	}
	return finish(reporters);
}
