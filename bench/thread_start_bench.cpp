// thread-start-bench: repeated measurements of what starting a thread costs,
// reported as percentiles.
//
//   program_run/pipe   thread-start-time, one process per repetition, its
//                      standard output a pipe; counter `ticks` is the number
//                      it prints, the time is the process's wall time
//   program_run/tty    the same with standard output on a pseudo-terminal,
//                      where the first line is written inside the span
//   cold_thread_start  the same for cold-thread-start, which measures the
//                      thread start alone, without a first line
//   warm_create_join   create and join a thread that does nothing, in this
//                      process, over and over: processor time of all
//                      threads and wall time per thread
//
// Besides Google Benchmark's own flags it takes --program=PATH and
// --cold-helper=PATH, to measure other builds. It exits 1 if any benchmark
// stopped with an error.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace
{

const char *program = THREAD_START_TIME;
const char *cold_helper = COLD_THREAD_START;
bool failed = false;

constexpr int process_repetitions = 200;
constexpr int warm_repetitions = 20;

// A file descriptor closed when it goes out of scope.
class Fd
{
public:
	explicit Fd(int fd = -1) : fd_(fd) {}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	Fd(Fd &&) = delete;
	Fd &operator=(Fd &&) = delete;
	~Fd() { reset(); }
	int get() const { return fd_; }
	void reset()
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = -1;
	}

private:
	int fd_;
};

// The text of error number `error`.
std::string error_text(int error)
{
	std::array<char, 256> text{};
	// The GNU strerror_r returns either `text` or a static string.
	return strerror_r(error, text.data(), text.size());
}

std::string errno_text(const std::string &what)
{
	return what + ": " + error_text(errno);
}

double now_seconds()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<double>(t.tv_sec) +
	       static_cast<double>(t.tv_nsec) * 1e-9;
}

// One finished child process: what it wrote, how it ended, how long it took
// from being spawned to being reaped. `error` is set when it could not run.
struct Run {
	std::string output;
	int status = 0;
	double seconds = 0;
	std::string error;
};

// Spawns `path` with standard output on `child_out`, standard input
// /dev/null and standard error inherited, then reads `parent_in` to its end
// and reaps the child.
Run spawn_and_read(const std::string &path, Fd &child_out, Fd &parent_in)
{
	Run run;
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
	                                 O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&actions, child_out.get(),
	                                 STDOUT_FILENO);

	std::vector<char> arg0(path.begin(), path.end());
	arg0.push_back('\0');
	char *argv[] = {arg0.data(), nullptr};
	pid_t pid = 0;
	const double start = now_seconds();
	const int spawned =
	    posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
	posix_spawn_file_actions_destroy(&actions);
	child_out.reset(); // so that reading ends when the child has exited
	if (spawned != 0) {
		run.error = path + ": " + error_text(spawned);
		return run;
	}

	char buffer[512];
	for (;;) {
		const ssize_t n = read(parent_in.get(), buffer, sizeof buffer);
		if (n > 0)
			run.output.append(buffer, static_cast<size_t>(n));
		else if (n == 0 || errno == EIO) // EIO: pty with no writer left
			break;
		else if (errno != EINTR) {
			run.error = errno_text("read");
			break;
		}
	}
	while (waitpid(pid, &run.status, 0) < 0) {
		if (errno != EINTR) {
			run.error = errno_text("waitpid");
			return run;
		}
	}
	run.seconds = now_seconds() - start;
	return run;
}

Run run_with_pipe(const std::string &path)
{
	int ends[2];
	if (pipe2(ends, O_CLOEXEC) != 0) {
		Run run;
		run.error = errno_text("pipe2");
		return run;
	}
	Fd read_end(ends[0]);
	Fd write_end(ends[1]);
	return spawn_and_read(path, write_end, read_end);
}

Run run_with_tty(const std::string &path)
{
	Run run;
	Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
	char name[128];
	if (master.get() < 0 || grantpt(master.get()) != 0 ||
	    unlockpt(master.get()) != 0 ||
	    ptsname_r(master.get(), name, sizeof name) != 0) {
		run.error = errno_text("pseudo-terminal");
		return run;
	}
	Fd slave(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
	if (slave.get() < 0) {
		run.error = errno_text(name);
		return run;
	}
	return spawn_and_read(path, slave, master);
}

// Parses a whole decimal integer, as printf's %ld writes it.
bool parse_ticks(const std::string &text, long &ticks)
{
	if (text.empty() || text.size() > 20)
		return false;
	const std::string digits = text[0] == '-' ? text.substr(1) : text;
	if (digits.empty() ||
	    digits.find_first_not_of("0123456789") != std::string::npos)
		return false;
	errno = 0;
	ticks = std::strtol(text.c_str(), nullptr, 10);
	return errno == 0;
}

// The tick count in thread-start-time's report, whose lines end in `eol`.
bool program_ticks(const std::string &output, const std::string &eol,
                   long &ticks)
{
	const std::string head =
	    "Entered the loopp" + eol + "The time of the childthread is ";
	if (output.size() < head.size() + eol.size() ||
	    output.compare(0, head.size(), head) != 0 ||
	    output.compare(output.size() - eol.size(), eol.size(), eol) != 0)
		return false;
	return parse_ticks(
	    output.substr(head.size(),
	                  output.size() - head.size() - eol.size()),
	    ticks);
}

// The tick count in cold-thread-start's one line.
bool helper_ticks(const std::string &output, long &ticks)
{
	if (output.empty() || output.back() != '\n')
		return false;
	return parse_ticks(output.substr(0, output.size() - 1), ticks);
}

void stop(benchmark::State &state, const std::string &why)
{
	failed = true;
	state.SkipWithError(why.c_str());
}

// What went wrong with a run, or "" if it ran, exited 0 and its output
// parsed.
std::string check(const Run &run, const std::string &path, bool parsed)
{
	if (!run.error.empty())
		return run.error;
	if (WIFSIGNALED(run.status))
		return path + " was killed by signal " +
		       std::to_string(WTERMSIG(run.status));
	if (WEXITSTATUS(run.status) != 0)
		return path + " exited with status " +
		       std::to_string(WEXITSTATUS(run.status));
	if (!parsed)
		return path + " wrote an unexpected report: \"" + run.output +
		       "\"";
	return "";
}

enum class Target { program_on_pipe, program_on_tty, helper_on_pipe };

void process_run(benchmark::State &state, Target target)
{
	const std::string path =
	    target == Target::helper_on_pipe ? cold_helper : program;
	for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
		const Run run = target == Target::program_on_tty
		                    ? run_with_tty(path)
		                    : run_with_pipe(path);
		long ticks = 0;
		const bool parsed =
		    target == Target::helper_on_pipe
		        ? helper_ticks(run.output, ticks)
		        : program_ticks(
		              run.output,
		              target == Target::program_on_tty ? "\r\n" : "\n",
		              ticks);
		const std::string problem = check(run, path, parsed);
		if (!problem.empty()) {
			stop(state, problem);
			break;
		}
		state.SetIterationTime(run.seconds);
		state.counters["ticks"] = static_cast<double>(ticks);
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
		if (created != 0) {
			stop(state, "pthread_create: " + error_text(created));
			break;
		}
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
	    ->ReportAggregatesOnly(true)
	    ->ComputeStatistics("min", minimum)
	    ->ComputeStatistics("p90", p90)
	    ->ComputeStatistics("p99", p99)
	    ->ComputeStatistics("max", maximum)
	    ->Unit(benchmark::kMicrosecond);
}

// Returns the value of the last argument starting with `prefix`, or
// `fallback` when there is none; with `remove`, takes those arguments out
// of argv.
const char *flag(int &argc, char **argv, const char *prefix,
                 const char *fallback, bool remove)
{
	const size_t length = std::strlen(prefix);
	const char *value = fallback;
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

} // namespace

int main(int argc, char **argv)
{
	program = flag(argc, argv, "--program=", program, true);
	cold_helper = flag(argc, argv, "--cold-helper=", cold_helper, true);
	// A count fixed in code wins over Google Benchmark's own flag, so the
	// flag is read here and left in place for it.
	const int asked = static_cast<int>(std::strtol(
	    flag(argc, argv, "--benchmark_repetitions=", "0", false), nullptr,
	    10));
	const int processes = asked > 0 ? asked : process_repetitions;
	const int warm = asked > 0 ? asked : warm_repetitions;

	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 2;

	const struct {
		const char *name;
		Target target;
	} process_benchmarks[] = {
	    {"program_run/pipe", Target::program_on_pipe},
	    {"program_run/tty", Target::program_on_tty},
	    {"cold_thread_start", Target::helper_on_pipe},
	};
	for (const auto &b : process_benchmarks)
		with_statistics(
		    benchmark::RegisterBenchmark(b.name, process_run, b.target)
		        ->Iterations(1)
		        ->UseManualTime(),
		    processes);
	with_statistics(
	    benchmark::RegisterBenchmark("warm_create_join", warm_create_join)
	        ->MeasureProcessCPUTime()
	        ->UseRealTime(),
	    warm);

	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return failed ? 1 : 0;
}
