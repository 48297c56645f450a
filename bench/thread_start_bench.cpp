// thread-start-bench: repeated measurements of what starting a thread costs,
// reported as percentiles. Its rows, what each measures and the levers
// among them are listed once, in rows.cpp; here they are registered with
// Google Benchmark and measured.
//
// The repetitions of all rows run interleaved in random order, so that drift
// falls on every row alike. The console ends with the answer (answer.cpp),
// after the library's table with --table; the results file of
// --benchmark_out holds every repetition, and the machine the results were
// measured on in its context. Every run is checked: the first that
// fails, hangs, floods its output or reports anything but a count stops the
// bench with its reason, and no file is written from fewer runs than were
// asked; a file the user had is left as it was.

#include "answer.hpp"
#include "environment.hpp"
#include "interrupt.hpp"
#include "machine.hpp"
#include "noise.hpp"
#include "options.hpp"
#include "precision.hpp"
#include "progress.hpp"
#include "results/reporters.hpp"
#include "results/results_file.hpp"
#include "rows.hpp"
#include "run/launcher.hpp"
#include "run/strays.hpp"
#include "statistics.hpp"
#include "text.hpp"
#include "verdict.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{

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
	remove_run_cgroup();
	std::_Exit(1);
}

// A row whose every repetition is one run of a program.
struct ProcessRow {
	Row row;
	Launcher launcher;
};

// The parts' counters; `ticks` is stored with every row's.
void store_parts(benchmark::State &state, const Parts &parts)
{
	state.counters["creator"] = parts.creator;
	state.counters["new_thread"] = parts.new_thread;
	state.counters["first_line"] = parts.first_line;
	state.counters["rest"] = parts.rest;
	for (std::size_t i = 0; i < part_count_names.size(); ++i)
		state.counters[part_count_names.at(i)] =
		    static_cast<double>(parts.counts.at(i));
}

void process_run(benchmark::State &state, const ProcessRow *process)
{
	const Row &row = process->row;
	for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
		const Command &command = process->launcher.command();
		const Outcome run = process->launcher.run(limits);
		const std::string wrong = what_went_wrong(run);
		if (!wrong.empty())
			stop(row.name, command.path, wrong);
		std::optional<long> ticks;
		if (row.reads == Reads::parts_report) {
			const std::optional<Parts> parts =
			    parts_report(run.out);
			if (parts) {
				store_parts(state, *parts);
				ticks = parts->ticks;
			}
		} else if (row.reads == Reads::helper_report) {
			ticks = helper_ticks(run.out);
		} else {
			ticks = program_ticks(
			    run.out,
			    command.output == Output::terminal ? "\r\n" : "\n");
		}
		if (!ticks)
			stop(row.name, command.path,
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

// Checks that standard output took everything written to it; `earlier`
// is the error of a write that failed before. Returns "" or why not.
[[nodiscard]] std::string close_stdout(int earlier)
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

// Hands the rest of the options to Google Benchmark, with interleaving on
// unless the user's own flag, which comes later and so wins, turns it off,
// and the flags the bench keeps from it at their defaults. Returns false
// after a usage error.
[[nodiscard]] bool initialize_library(int argc, char **argv)
{
	std::vector<std::string> first = library_defaults();
	first.emplace_back("--benchmark_enable_random_interleaving=true");
	// As the library had it before the bench listed the rows.
	first.emplace_back("--benchmark_list_tests=false");
	// The program's name, which read_options always leaves, then the
	// bench's flags, then the user's.
	std::vector<char *> args{argv[0]};
	std::transform(first.begin(), first.end(), std::back_inserter(args),
	               [](std::string &word) { return word.data(); });
	args.insert(args.end(), argv + 1, argv + argc);
	args.push_back(nullptr);
	int count = static_cast<int>(args.size()) - 1;
	benchmark::Initialize(&count, args.data(), print_help);
	return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

// The environments of the rows, made once: the rows point into them.
struct Environments {
	Environment plain;
	Environment one_arena;
	std::vector<Environment> variants;
};

// The program that a row reading `reads` runs.
const std::string &program_of(Reads reads, const Options &options)
{
	return reads == Reads::parts_report    ? options.parts_helper
	       : reads == Reads::helper_report ? options.cold_helper
	                                       : options.program;
}

// The rows of `rows` that run a program, made ready to run.
std::vector<ProcessRow> process_rows(const std::vector<Row> &rows,
                                     Environments &environments,
                                     const Options &options, int cpu)
{
	const std::vector<Variant> &variants = options.variants;
	environments.one_arena.add_tunable("glibc.malloc.arena_max=1");
	environments.variants.resize(variants.size());
	for (std::size_t i = 0; i < variants.size(); ++i)
		for (const auto &[name, value] : variants[i].assignments)
			environments.variants[i].set(name, value);
	std::vector<ProcessRow> made;
	for (const Row &row : rows) {
		if (row.reads == Reads::nothing)
			continue;
		Command command{program_of(row.reads, options),
		                {},
		                environments.plain.get()};
		if (!row.argument.empty())
			command.args.push_back(row.argument);
		if (row.setting == Setting::one_arena)
			command.envp = environments.one_arena.get();
		if (row.setting == Setting::variant)
			command.envp = environments.variants[row.variant].get();
		if (row.setting == Setting::pinned)
			command.cpu = cpu;
		if (row.setting == Setting::terminal)
			command.output = Output::terminal;
		made.push_back({row, Launcher(std::move(command))});
	}
	return made;
}

// Registers `row` with the library, with `repetitions`; `process` is its
// program's, null for a row that runs none.
void register_row(const Row &row, const ProcessRow *process, int repetitions)
{
	// Google Benchmark 1.7 takes only a const char *. The names these
	// give the rows are full_name's.
	// NOLINTBEGIN(readability-redundant-string-cstr)
	if (process == nullptr)
		with_statistics(benchmark::RegisterBenchmark(row.name.c_str(),
		                                             warm_create_join)
		                    ->Iterations(row.iterations)
		                    ->MeasureProcessCPUTime()
		                    ->UseRealTime(),
		                repetitions);
	else
		with_statistics(benchmark::RegisterBenchmark(
		                    row.name.c_str(), process_run, process)
		                    ->Iterations(row.iterations)
		                    ->UseManualTime(),
		                repetitions);
	// NOLINTEND(readability-redundant-string-cstr)
}

// Registers every row with the library, in the bench's order: those that
// run a program from `processes`, which must stay where they are.
void register_rows(const std::vector<Row> &rows,
                   const std::vector<ProcessRow> &processes, int repetitions)
{
	auto process = processes.begin();
	for (const Row &row : rows)
		register_row(
		    row, row.reads == Reads::nothing ? nullptr : &*process++,
		    repetitions);
}

// Records the names the library lists, and runs nothing.
class Listing : public benchmark::BenchmarkReporter
{
public:
	Listing()
	{
		SetOutputStream(&names_);
		SetErrorStream(&std::cerr);
	}
	bool ReportContext(const Context & /*context*/) override
	{
		return false;
	}
	void ReportRuns(const std::vector<Run> & /*report*/) override {}
	std::string names() const { return names_.str(); }

private:
	std::ostringstream names_;
};

// The rows of `rows`, registered with `repetitions`, that the library
// selects with `filter`: its own rules, asked of it by listing the rows
// as --benchmark_list_tests does. None, after the library has said why,
// if the filter is wrong or matches nothing. Only the flags the bench
// keeps from the library and the listing itself are set for it; the
// context entries it adds from the environment go to a map of their own,
// so that the later Initialize does not find them there already.
std::vector<Row> library_selection(const std::string &program,
                                   const std::string &filter,
                                   const std::vector<Row> &rows,
                                   int repetitions)
{
	std::vector<std::string> words = library_defaults();
	words.emplace_back("--benchmark_list_tests=true");
	std::string argv0 = program;
	std::vector<char *> args{argv0.data()};
	std::transform(words.begin(), words.end(), std::back_inserter(args),
	               [](std::string &word) { return word.data(); });
	args.push_back(nullptr);
	int count = static_cast<int>(args.size()) - 1;
	std::map<std::string, std::string> *&context =
	    benchmark::internal::GetGlobalContext();
	std::map<std::string, std::string> *const kept = context;
	std::map<std::string, std::string> ignored;
	context = &ignored;
	benchmark::Initialize(&count, args.data());
	context = kept;
	Listing listing;
	(void)benchmark::RunSpecifiedBenchmarks(&listing, filter);
	std::set<std::string> listed;
	std::istringstream names(listing.names());
	for (std::string name; std::getline(names, name);)
		listed.insert(name);
	std::vector<Row> chosen;
	std::copy_if(rows.begin(), rows.end(), std::back_inserter(chosen),
	             [&](const Row &row) {
		             return listed.count(full_name(row, repetitions)) >
		                    0;
	             });
	return chosen;
}

// Seconds on the monotonic clock.
double monotonic_seconds()
{
	timespec now{};
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<double>(now.tv_sec) +
	       static_cast<double>(now.tv_nsec) / 1e9;
}

// How a run in rounds went.
struct Rounds {
	int count = 0;
	double seconds = 0;
	std::string stopped_by; // "precision", "time" or "repetitions"
	// The share of its error each row's intervals spent at its last look.
	std::map<std::string, double> shares;
	std::vector<Aim> aims;
	long least = 0; // the fewest repetitions of a row, and the most
	long most = 0;
};

// Runs the rows of `chosen` in rounds until every aim is within the
// precision asked, the time is up or a row would pass the most
// repetitions. Nothing after a round that only listed the rows.
Rounds run_rounds(Reporters &reporters, const Options &options,
                  const std::vector<Row> &chosen,
                  const std::vector<ProcessRow> &processes)
{
	std::map<std::string, const ProcessRow *> program_of_row;
	for (const ProcessRow &process : processes)
		program_of_row[process.row.name] = &process;
	const double budget = options.max_seconds.value_or(default_max_seconds);
	const double start = monotonic_seconds();
	std::map<std::string, int> looks;
	std::map<std::string, long> counts;
	std::vector<Row> running = chosen;
	long each = options.repetitions; // this round's, of every row running
	long total = 0;                  // of every row running, so far
	Rounds rounds;
	reporters.hold_rounds();
	for (;;) {
		benchmark::ClearRegisteredBenchmarks();
		for (const Row &row : running) {
			const auto found = program_of_row.find(row.name);
			register_row(row,
			             found == program_of_row.end()
			                 ? nullptr
			                 : found->second,
			             static_cast<int>(each));
		}
		progress().start(static_cast<long>(running.size()) * each);
		const double began = monotonic_seconds();
		(void)benchmark::RunSpecifiedBenchmarks(&reporters, ".");
		progress().clear();
		if (!reporters.reported())
			return rounds;
		const double took = monotonic_seconds() - began;
		total += each;
		++rounds.count;
		for (const Row &row : running) {
			rounds.shares[row.name] =
			    spent_share(++looks[row.name]);
			counts[row.name] = total;
		}
		rounds.aims =
		    aims_of(reporters.samples(), chosen, rounds.shares);
		const std::size_t ran = running.size();
		// A row that stopped never runs again: its counts follow the
		// rounds' sizes, which its intervals' shares rest on.
		if (options.precision)
			running = still_needed(running, rounds.aims,
			                       *options.precision);
		// The next round adds half as many again to each running
		// row; it takes about as long a repetition as this one did.
		const long more = next_total(total) - total;
		const double next = took * static_cast<double>(more) /
		                    static_cast<double>(each) *
		                    static_cast<double>(running.size()) /
		                    static_cast<double>(ran);
		if (running.empty())
			rounds.stopped_by = "precision";
		else if (next_total(total) > most_repetitions)
			rounds.stopped_by = "repetitions";
		else if (monotonic_seconds() - start + next > budget)
			rounds.stopped_by = "time";
		if (!rounds.stopped_by.empty())
			break;
		each = more;
	}
	rounds.seconds = monotonic_seconds() - start;
	const auto [fewest, most] = std::minmax_element(
	    counts.begin(), counts.end(),
	    [](const auto &a, const auto &b) { return a.second < b.second; });
	rounds.least = fewest->second;
	rounds.most = most->second;
	return rounds;
}

// A percentage as the answer and the context show it.
std::string percent_text(double percent)
{
	std::array<char, 32> text{};
	(void)std::snprintf(text.data(), text.size(), "%.1f", percent);
	return text.data();
}

// The aims short of the precision asked with what each reached, or with
// `reached` the answer's figures.
std::string aims_text(const Rounds &rounds, double precision, bool reached)
{
	std::string named;
	for (const Aim &aim : rounds.aims)
		if (reached ? aim.figure
		            : !aim.reached || *aim.reached > precision)
			named += (named.empty() ? "" : ", ") + aim.name +
			         (aim.reached
			              ? " ±" + percent_text(*aim.reached) + " %"
			              : " no interval");
	return named;
}

// The answer's line on how a run in rounds stopped.
std::string stop_line(const Rounds &rounds, const Options &options)
{
	const std::string done = std::to_string(rounds.count) +
	                         (rounds.count == 1 ? " round" : " rounds") +
	                         " in " + percent_text(rounds.seconds) + " s";
	const std::string why = rounds.stopped_by == "time"
	                            ? "the time was up"
	                            : "more would pass the most repetitions";
	if (!options.precision)
		return "rounds: " + done + ", until " + why + "\n";
	const std::string asked =
	    "precision ±" + percent_text(*options.precision) + " % ";
	if (rounds.stopped_by == "precision")
		return asked + "reached after " + done + ": " +
		       aims_text(rounds, *options.precision, true) + "\n";
	return asked + "not reached after " + done + " (" + why +
	       "): " + aims_text(rounds, *options.precision, false) + "\n";
}

// The context's entries on how a run in rounds stopped.
std::vector<std::pair<std::string, std::string>>
rounds_context(const Rounds &rounds, const Options &options)
{
	std::string reached;
	for (const Aim &aim : rounds.aims)
		reached += (reached.empty() ? "" : ", ") + aim.name + "=" +
		           (aim.reached ? percent_text(*aim.reached) : "none");
	std::vector<std::pair<std::string, std::string>> entries = {
	    {"stop_rule", options.precision ? "precision" : "time"},
	    {"max_time",
	     percent_text(options.max_seconds.value_or(default_max_seconds))},
	    {"first_round", std::to_string(options.repetitions)},
	    {"rounds", std::to_string(rounds.count)},
	    {"stopped_by", rounds.stopped_by},
	    {"precision_reached", reached},
	    {"interval_rule", "a row's j-th look spends 3/((j+2)(j+3)) of each "
	                      "interval's error"},
	};
	if (options.precision)
		entries.emplace_back("precision_asked",
		                     percent_text(*options.precision));
	return entries;
}

// The names of `rows`, in their order.
std::vector<std::string> names_of(const std::vector<Row> &rows)
{
	std::vector<std::string> names;
	std::transform(rows.begin(), rows.end(), std::back_inserter(names),
	               [](const Row &row) { return row.name; });
	return names;
}

// The bench's entries of the results' context: the run and the machine.
std::vector<std::pair<std::string, std::string>>
bench_context(const Options &options, const std::vector<Row> &chosen, int cpu,
              const std::string &reaper, const std::string &cgroup)
{
	std::vector<std::pair<std::string, std::string>> context = {
	    {"rows", rows_entry(chosen)},
	    {"levers", levers_entry(chosen)},
	    {"program", resolved(options.program)},
	    {"cold_helper", resolved(options.cold_helper)},
	    {"parts_helper", resolved(options.parts_helper)},
	    {"label", options.label},
	    {"variants", describe(options.variants)},
	    {"pinned_cpu", std::to_string(cpu)},
	    {"subreaper", reaper},
	    {"run_cgroup", cgroup},
	    // The Google Benchmark the bench was built with, found by CMake.
	    {"benchmark_version", BENCHMARK_LIBRARY_VERSION},
	};
	auto machine = machine_context();
	context.insert(context.end(), std::make_move_iterator(machine.begin()),
	               std::make_move_iterator(machine.end()));
	return context;
}

void add_context(
    const std::vector<std::pair<std::string, std::string>> &context)
{
	for (const auto &[name, value] : context)
		if (name != "label" || !value.empty())
			benchmark::AddCustomContext(name, value);
}

// A path as a shell word: as it is where it needs no quotes, in single
// quotes where it has other printable characters, else in bash's $'...'.
std::string shell_word(const std::string &path)
{
	const bool plain =
	    !path.empty() && std::all_of(path.begin(), path.end(), [](char c) {
		    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
		           std::strchr("_./:@%+=,-", c) != nullptr;
	    });
	if (plain)
		return path;
	const bool printable =
	    valid_utf8(path) &&
	    std::none_of(path.begin(), path.end(), [](char c) {
		    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
	    });
	if (!printable) {
		// bash's $'...': every byte that is not printable UTF-8 as
		// \xHH.
		std::string word = "$'";
		for (std::size_t at = 0; at < path.size();) {
			const auto byte = static_cast<unsigned char>(path[at]);
			const std::size_t length = utf8_sequence(path, at);
			if (length > 0 && byte >= 0x20 && byte != 0x7f) {
				if (byte == '\\' || byte == '\'')
					word += '\\';
				word.append(path, at, length);
				at += length;
				continue;
			}
			std::array<char, 8> escape{};
			(void)std::snprintf(escape.data(), escape.size(),
			                    "\\x%02x", byte);
			word += escape.data();
			++at;
		}
		return word + "'";
	}
	std::string word = "'";
	for (const char c : path)
		word += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return word + "'";
}

// The answer's last lines: where the results are, and the command for
// the rest; `kept` is false where they could not be put in place.
std::string closing(const Options &options, bool kept)
{
	if (!options.out_file)
		return "results not kept: --benchmark_out=FILE keeps every "
		       "repetition\nthe rest: thread-start-analyze report "
		       "FILE\n";
	const std::string file = shell_word(*options.out_file);
	if (!kept)
		return "results not written to " + file +
		       ": the reason is on standard error\n";
	if (options.out_format != "json")
		return "every repetition in " + file +
		       ", as the library's console table\n";
	return "every repetition in " + file +
	       "\nthe rest: thread-start-analyze report " + file + "\n";
}

// Ends the console with the answer, puts the results file in place, says
// where it is and checks that the console was written. Returns the exit
// status.
int finish(const Reporters &reporters, const Options &options,
           const std::vector<Row> &rows, const Rounds *rounds)
{
	// Standard output is the library's JSON with json: the answer goes
	// to standard error then. Written before the results file is put in
	// place, so that a reader gone by then leaves no file, as before.
	std::FILE *const console =
	    options.console_format == "json" ? stderr : stdout;
	if (rounds == nullptr)
		(void)std::fputs(
		    answer_text(answer_of(reporters.samples(), rows),
		                options.repetitions, reporters.noise(), "")
		        .c_str(),
		    console);
	else
		(void)std::fputs(
		    answer_text(
		        answer_of(reporters.samples(), rows, rounds->shares),
		        rounds->least == rounds->most
		            ? std::to_string(rounds->least)
		            : std::to_string(rounds->least) + " to " +
		                  std::to_string(rounds->most),
		        reporters.noise(), stop_line(*rounds, options))
		        .c_str(),
		    console);
	(void)std::fflush(console);
	std::string lost;
	if (writing_results)
		lost = results.commit();
	(void)std::fputs(closing(options, lost.empty()).c_str(), console);
	const std::string closed = close_stdout(reporters.console_error());
	if (lost.empty())
		lost = closed;
	if (!lost.empty()) {
		(void)std::fprintf(stderr, "thread-start-bench: %s\n",
		                   lost.c_str());
		return 1;
	}
	return std::fflush(stderr) == 0 && std::ferror(stderr) == 0 ? 0 : 1;
}

// The noise of the run since `start`, a sample of the bench's `cpus`: its
// entries added to the context, and "" if it was quiet or the reasons.
std::string judge_noise(const std::set<int> &cpus, const Settings &settings,
                        const Sample &start)
{
	const Figures got =
	    figures(start, take_sample("", cpus, false),
	            static_cast<int>(cpus.size()), sysconf(_SC_CLK_TCK));
	for (const auto &[name, value] : noise_entries(got, settings))
		benchmark::AddCustomContext(name, value);
	std::string reasons;
	for (const std::string &reason : judge(got))
		reasons += (reasons.empty() ? "" : "; ") + reason;
	return reasons;
}

// --check-system or --version, which take no other argument. Returns the
// exit status.
int on_its_own(int argc, const std::string &option)
{
	if (argc != 2)
		return usage_error(option +
		                   " takes no other argument (try --help)");
	int status = 0;
	if (option == "--version")
		(void)std::fputs(
		    "thread-start-bench " THREAD_START_VERSION "\n", stdout);
	else
		status = check_system("", "", own_cpus(), 1);
	const std::string lost = close_stdout(0);
	if (!lost.empty()) {
		(void)std::fprintf(stderr, "thread-start-bench: %s\n",
		                   lost.c_str());
		return 1;
	}
	return status;
}

// The counters the answer reads: ticks, the program's processor time and
// each lever's own.
std::vector<std::string> answer_counters(const std::vector<Row> &rows)
{
	std::vector<std::string> counters{"ticks", "process_cpu"};
	for (const Row &row : rows)
		if (!row.counter.empty() &&
		    std::find(counters.begin(), counters.end(), row.counter) ==
		        counters.end())
			counters.push_back(row.counter);
	return counters;
}

// Every repetition is kept until the end: too many of them for the memory
// the bench may have stop it with one line and status 1.
[[noreturn]] void out_of_memory()
{
	ResultsFile::discard();
	progress().clear();
	(void)std::fputs("thread-start-bench: out of memory\n", stderr);
	std::_Exit(1);
}

// The bytes of main's argument strings, which the kernel lays out one after
// another: as far as they do, for the guard to write its name over.
std::size_t command_line_size(int argc, char **argv)
{
	char *end = argv[0];
	for (int i = 0; i < argc && argv[i] == end; ++i)
		end += std::strlen(argv[i]) + 1;
	return static_cast<std::size_t>(end - argv[0]);
}

// Measures the rows of `chosen` in rounds, and finishes. Returns the exit
// status.
int measure_in_rounds(Reporters &reporters, const Options &options,
                      const std::vector<Row> &rows,
                      const std::vector<Row> &chosen,
                      const std::vector<ProcessRow> &processes)
{
	const Rounds rounds = run_rounds(reporters, options, chosen, processes);
	if (!reporters.reported()) {
		// Only listed: no results file.
		benchmark::Shutdown();
		ResultsFile::discard();
		return close_stdout(0).empty() ? 0 : 1;
	}
	add_context(rounds_context(rounds, options));
	reporters.end_rounds();
	benchmark::Shutdown();
	return finish(reporters, options, rows, &rounds);
}

// The entries of the context that are the bench's own: `context`, and
// those it adds later of the noise and of runs in rounds.
std::vector<std::pair<std::string, std::string>>
own_entries(std::vector<std::pair<std::string, std::string>> context,
            const Options &options)
{
	std::vector<std::string> later = noise_entry_names();
	for (const auto &[name, value] : rounds_context({}, options))
		later.push_back(name);
	later.emplace_back("precision_asked");
	std::transform(later.begin(), later.end(), std::back_inserter(context),
	               [](const std::string &name) {
		               return std::make_pair(name, std::string());
	               });
	return context;
}

int measure(int argc, char **argv)
{
	open_standard_descriptors();
	for (const char *option : {"--check-system", "--version"})
		if (std::any_of(argv + 1, argv + argc,
		                [option](const char *word) {
			                return std::strcmp(word, option) == 0;
		                }))
			return on_its_own(argc, option);
	ResultsFile::fail_writes_past_limits();
	CommandLine line(argc, argv);
	Options options;
	if (!read_options(line.argc(), line.argv(), options))
		return 2;
	// Before the bench is a subreaper, so that the guard is not its
	// child.
	std::string cgroup;
	const std::string no_guard =
	    start_guard(argv[0], command_line_size(argc, argv), cgroup);
	if (!no_guard.empty()) {
		(void)std::fprintf(stderr, "thread-start-bench: %s\n",
		                   no_guard.c_str());
		return 1;
	}
	// qemu-user does not pass this request on: there the bench runs
	// without, and its context says what it does not see.
	const bool subreaper = become_subreaper();
	const std::string reaper =
	    subreaper ? "yes"
	              : "no (" + error_text(errno) +
	                    "): processes a run leaves behind are not found";
	// The bench's own context entries cannot be given another value.
	const int cpu = first_cpu();
	std::vector<std::string> variants;
	std::transform(options.variants.begin(), options.variants.end(),
	               std::back_inserter(variants),
	               [](const Variant &variant) { return variant.name; });
	const std::vector<Row> rows = all_rows(variants);
	Environments environments;
	const std::vector<ProcessRow> processes =
	    process_rows(rows, environments, options, cpu);
	register_rows(rows, processes, options.repetitions);
	const std::vector<Row> chosen = library_selection(
	    line.argv()[0], options.filter, rows, options.repetitions);
	if (chosen.empty())
		return 2;
	const auto context =
	    bench_context(options, chosen, cpu, reaper, cgroup);
	const std::string clash =
	    check_user_context(options.context, own_entries(context, options));
	if (!clash.empty())
		return usage_error(clash + " (try --help)");
	if (!initialize_library(line.argc(), line.argv()))
		return 2;
	limits.timeout_seconds = options.timeout_seconds;
	clean_up_when_interrupted();
	if (options.out_file) {
		const std::string wrong = results.open(
		    *options.out_file,
		    {options.program, options.cold_helper, options.parts_helper,
		     resolved("/proc/self/exe")},
		    options.force);
		if (!wrong.empty())
			return usage_error(wrong);
		writing_results = true;
	}
	// Without the kernel's list of children, what a run leaves behind
	// would go unseen: no measuring without it. Where the bench is no
	// subreaper, nothing would be found there anyway.
	const std::string children = open_children_list();
	if (subreaper && !children.empty()) {
		ResultsFile::discard();
		(void)std::fprintf(stderr,
		                   "thread-start-bench: cannot look for "
		                   "processes a run leaves behind: %s\n",
		                   children.c_str());
		return 1;
	}

	add_context(context);

	std::unique_ptr<benchmark::BenchmarkReporter> file;
	if (writing_results) {
		file = make_reporter(options.out_format, false);
		file->SetOutputStream(&results.stream());
		file->SetErrorStream(&results.stream());
	}
	// The library's table with --table, its JSON with json; else the
	// answer alone.
	std::unique_ptr<benchmark::BenchmarkReporter> console;
	std::size_t columns = 0;
	if (options.console_format == "json") {
		console = make_reporter("json", false);
	} else if (options.table) {
		console = make_reporter("console", options.color);
		columns = console_columns();
	}
	Reporters reporters(std::move(console), columns, std::move(file),
	                    names_of(rows), names_of(chosen),
	                    answer_counters(rows));
	progress().start(static_cast<long>(chosen.size()) *
	                 options.repetitions);
	const std::set<int> cpus = own_cpus();
	const Settings settings = read_settings("", cpus);
	const Sample start = take_sample("", cpus, false);
	reporters.set_noise_judge([&cpus, &settings, &start]() {
		return judge_noise(cpus, settings, start);
	});

	// A run that fails never returns here.
	if (options.in_rounds())
		return measure_in_rounds(reporters, options, rows, chosen,
		                         processes);
	const std::size_t ran =
	    benchmark::RunSpecifiedBenchmarks(&reporters, options.filter);
	benchmark::Shutdown();
	progress().clear();
	if (ran == 0 || !reporters.reported()) {
		// Nothing measured (or only listed): no results file.
		ResultsFile::discard();
		return ran == 0 ? 2 : close_stdout(0).empty() ? 0 : 1;
	}
	return finish(reporters, options, rows, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
	// Built without exceptions, the bench learns of an allocation that
	// fails here, before std::bad_alloc would end it by abort().
	std::set_new_handler(out_of_memory);
	const int status = measure(argc, argv);
	remove_run_cgroup();
	return status;
}
