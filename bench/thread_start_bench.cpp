// thread-start-bench: repeated measurements of what starting a thread costs,
// reported as percentiles. Its rows:
//
//   program_run/pipe   thread-start-time, one process per repetition, its
//                      standard output a pipe; counter `ticks` is the number
//                      it prints, the time is the process's wall time
//   program_run/pipe_one_arena
//                      the same with glibc.malloc.arena_max=1 added to
//                      GLIBC_TUNABLES: the new thread's first malloc finds
//                      the main heap arena instead of making one of its own
//   program_run/tty    the same as program_run/pipe with standard output on
//                      a pseudo-terminal, where the first line is written
//                      inside the span
//   cold_thread_start  the same for cold-thread-start, which measures the
//                      thread start alone, without a first line
//   warm_create_join   create and join a thread that does nothing, in this
//                      process, over and over: processor time of all
//                      threads and wall time per thread
//
// The repetitions of all rows run interleaved in random order, so that drift
// falls on every row alike. The console shows percentiles; the JSON file of
// --benchmark_out holds every repetition too, and the machine the results
// were measured on in its context. Every run is checked: the first that fails,
// hangs, floods its output or reports anything but a count stops the bench
// with its reason, and nothing is reported from fewer runs than were asked.

#include "limited_run.hpp"
#include "machine.hpp"
#include "report.hpp"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
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
    "  --timeout=SECONDS  stop the bench if one run takes longer "
    "(default: 10)\n"
    "  --benchmark_repetitions=N\n"
    "                     runs of each row, at least 2 (default: 200 for\n"
    "                     the process rows, 20 for warm_create_join)\n"
    "\n"
    "Rows run interleaved in random order; "
    "--benchmark_enable_random_interleaving=false\n"
    "runs them one after another.\n"
    "\n"
    "Exit status: 0 measured, 1 a run failed (its reason on standard "
    "error),\n"
    "2 usage error.\n"
    "\n"
    "Google Benchmark's options:\n";

std::string program;     // --program, or found beside the bench
std::string cold_helper; // --cold-helper, likewise
Limits limits;
std::string out_file; // --benchmark_out, removed when a run fails

constexpr int process_repetitions = 200;
constexpr int warm_repetitions = 20;

// Stops the bench at once: one line on standard error, status 1. What the
// rows already printed stays; a JSON file, incomplete now, is removed.
[[noreturn]] void stop(const char *row, const std::string &program_path,
                       const std::string &what)
{
	(void)std::fflush(stdout);
	(void)std::fprintf(stderr, "thread-start-bench: %s: %s: %s\n", row,
	                   program_path.c_str(), what.c_str());
	if (!out_file.empty())
		unlink(out_file.c_str());
	std::_Exit(1);
}

// A row whose every repetition is one run of a program.
struct ProcessRow {
	const char *name;
	Output output;
	bool helper;    // cold-thread-start rather than thread-start-time
	bool one_arena; // with glibc.malloc.arena_max=1
};

const ProcessRow process_rows[] = {
    {"program_run/pipe", Output::pipe, false, false},
    {"program_run/pipe_one_arena", Output::pipe, false, true},
    {"program_run/tty", Output::terminal, false, false},
    {"cold_thread_start", Output::pipe, true, false},
};

// This process's environment with glibc.malloc.arena_max=1 added to
// GLIBC_TUNABLES, after any tunables already there.
class OneArenaEnvironment
{
public:
	OneArenaEnvironment()
	{
		const std::string name = "GLIBC_TUNABLES=";
		std::string tunables = name + "glibc.malloc.arena_max=1";
		for (char **variable = environ; *variable != nullptr;
		     ++variable) {
			const std::string text = *variable;
			if (text.compare(0, name.size(), name) != 0)
				pointers_.push_back(*variable);
			else if (text.size() > name.size())
				tunables = text + ":glibc.malloc.arena_max=1";
		}
		tunables_ = tunables;
		pointers_.push_back(tunables_.data());
		pointers_.push_back(nullptr);
	}
	char *const *get() { return pointers_.data(); }

private:
	std::string tunables_;
	std::vector<char *> pointers_;
};

void process_run(benchmark::State &state, const ProcessRow *row)
{
	static OneArenaEnvironment one_arena;
	const std::string path = row->helper ? cold_helper : program;
	char *const *envp = row->one_arena ? one_arena.get() : environ;
	for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
		const Outcome run =
		    run_limited(path, envp, row->output, limits);
		const std::string wrong = what_went_wrong(run);
		if (!wrong.empty())
			stop(row->name, path, wrong);
		const std::optional<long> ticks =
		    row->helper
		        ? helper_ticks(run.out)
		        : program_ticks(run.out, row->output == Output::terminal
		                                     ? "\r\n"
		                                     : "\n");
		if (!ticks)
			stop(row->name, path,
			     "unexpected report: " + quoted(run.out));
		state.SetIterationTime(run.seconds);
		state.counters["ticks"] = static_cast<double>(*ticks);
		state.counters["process_cpu"] = run.cpu_seconds * 1e6;
	}
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
}

// Nearest-rank percentile of the repetitions' values; 0 gives the
// minimum, 100 the maximum.
double percentile(std::vector<double> values, double p)
{
	if (values.empty())
		return 0;
	std::sort(values.begin(), values.end());
	const auto rank = static_cast<size_t>(
	    std::ceil(p / 100 * static_cast<double>(values.size())));
	return values[std::max<size_t>(rank, 1) - 1];
}

double minimum(const std::vector<double> &v)
{
	return percentile(v, 0);
}
double p90(const std::vector<double> &v)
{
	return percentile(v, 90);
}
double p99(const std::vector<double> &v)
{
	return percentile(v, 99);
}
double maximum(const std::vector<double> &v)
{
	return percentile(v, 100);
}

benchmark::internal::Benchmark *
with_statistics(benchmark::internal::Benchmark *b, int repetitions)
{
	return b->Repetitions(repetitions)
	    ->DisplayAggregatesOnly(true)
	    ->ComputeStatistics("min", minimum)
	    ->ComputeStatistics("p90", p90)
	    ->ComputeStatistics("p99", p99)
	    ->ComputeStatistics("max", maximum)
	    ->Unit(benchmark::kMicrosecond);
}

// The value of the last argument starting with `prefix`, if any; with
// `remove`, takes those arguments out of argv.
std::optional<std::string> flag(int &argc, char **argv, const char *prefix,
                                bool remove)
{
	const size_t length = std::strlen(prefix);
	std::optional<std::string> value;
	int kept = 1;
	for (int i = 1; i < argc; ++i) {
		const bool match = std::strncmp(argv[i], prefix, length) == 0;
		if (match)
			value = argv[i] + length;
		if (!match || !remove)
			argv[kept++] = argv[i];
	}
	argc = kept;
	argv[argc] = nullptr;
	return value;
}

// Repetitions from 2 (percentiles need two) to a million, if `text` is one.
std::optional<int> repetitions_flag(const std::string &text)
{
	const std::optional<long> n = parse_count(text);
	if (!n || *n < 2 || *n > 1000000)
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

void print_help()
{
	std::printf(usage_text, program.c_str(), cold_helper.c_str());
	benchmark::PrintDefaultHelp();
}

} // namespace

int main(int argc, char **argv)
{
	program = flag(argc, argv, "--program=", true)
	              .value_or(beside_this_program({PROGRAM_FROM_BENCH}));
	cold_helper =
	    flag(argc, argv, "--cold-helper=", true)
	        .value_or(beside_this_program(
	            {HELPER_FROM_INSTALLED_BENCH, HELPER_FROM_BUILT_BENCH}));
	// A count fixed in code wins over Google Benchmark's own flag, so the
	// flag is read here and left in place for it.
	int repetitions = 0; // each row's own default
	if (!read_flag(argc, argv, "--timeout=", true, timeout_flag,
	               "a number of seconds above 0 and at most 86400",
	               limits.timeout_seconds) ||
	    !read_flag(argc, argv, "--benchmark_repetitions=", false,
	               repetitions_flag, "a whole number from 2 to 1000000",
	               repetitions))
		return 2;
	const int processes =
	    repetitions > 0 ? repetitions : process_repetitions;
	const int warm = repetitions > 0 ? repetitions : warm_repetitions;
	out_file = flag(argc, argv, "--benchmark_out=", false).value_or("");

	// Interleaving is on unless the user's own flag, which comes later
	// and so wins, turns it off.
	std::vector<char *> args(argv, argv + argc);
	std::string interleave = "--benchmark_enable_random_interleaving=true";
	args.insert(args.begin() + 1, interleave.data());
	args.push_back(nullptr);
	int count = argc + 1;
	benchmark::Initialize(&count, args.data(), print_help);
	if (benchmark::ReportUnrecognizedArguments(count, args.data()))
		return 2;

	benchmark::AddCustomContext("program", resolved(program));
	benchmark::AddCustomContext("cold_helper", resolved(cold_helper));
	for (const auto &[name, value] : machine_context())
		benchmark::AddCustomContext(name, value);

	for (const ProcessRow &row : process_rows)
		with_statistics(
		    benchmark::RegisterBenchmark(row.name, process_run, &row)
		        ->Iterations(1)
		        ->UseManualTime(),
		    processes);
	with_statistics(
	    benchmark::RegisterBenchmark("warm_create_join", warm_create_join)
	        ->MeasureProcessCPUTime()
	        ->UseRealTime(),
	    warm);

	// A run that fails never returns here. No row selected: the library
	// has said so on standard error.
	const size_t ran = benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return ran == 0 ? 2 : 0;
}
