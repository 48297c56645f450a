#include "run/launcher.hpp"

#include "run/strays.hpp"
#include "text.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <ctime>
#include <vector>

namespace
{

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
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
	}

private:
	int fd_;
};

double now_seconds()
{
	timespec t{};
	(void)clock_gettime(CLOCK_MONOTONIC, &t); // cannot fail here
	return static_cast<double>(t.tv_sec) +
	       (static_cast<double>(t.tv_nsec) * 1e-9);
}

double seconds_of(const timeval &t)
{
	return static_cast<double>(t.tv_sec) +
	       (static_cast<double>(t.tv_usec) * 1e-6);
}

// What every run shares, made once: a pipe for standard output and one
// for standard error, whose writing ends the bench keeps open, so that
// no run needs pipes of its own; /dev/null for standard input; the place
// a terminal row's end of its pseudo-terminal is put while it is spawned;
// and a descriptor that is readable when a child has changed state.
struct Channels {
	int out_read = -1;
	int out_write = -1;
	int err_read = -1;
	int err_write = -1;
	int null = -1;
	int terminal = -1;
	int children = -1;
	std::string failure; // why they could not be made, or ""
};

const Channels &channels()
{
	static const Channels made = [] {
		Channels c;
		int out[2];
		int err[2];
		if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0 ||
		    pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
			c.failure = errno_text("pipe2");
			return c;
		}
		c.out_read = out[0];
		c.out_write = out[1];
		c.err_read = err[0];
		c.err_write = err[1];
		c.null = open("/dev/null", O_RDONLY | O_CLOEXEC);
		c.terminal =
		    c.null < 0 ? -1 : fcntl(c.null, F_DUPFD_CLOEXEC, 0);
		if (c.terminal < 0) {
			c.failure = errno_text("/dev/null");
			return c;
		}
		// SIGCHLD is blocked, so it stays pending for the descriptor to
		// tell; the runs' own signal mask is emptied when they start.
		sigset_t child;
		sigemptyset(&child);
		sigaddset(&child, SIGCHLD);
		pthread_sigmask(SIG_BLOCK, &child, nullptr);
		c.children = signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK);
		if (c.children < 0)
			c.failure = errno_text("signalfd");
		return c;
	}();
	return made;
}

// A pseudo-terminal for one run: the bench's end, and the run's end put
// in the place that the spawn's settings name. Returns "" or why not.
[[nodiscard]] std::string open_terminal(Fd &master)
{
	master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
	std::array<char, 128> name{};
	if (master.get() < 0 || grantpt(master.get()) != 0 ||
	    unlockpt(master.get()) != 0 ||
	    ptsname_r(master.get(), name.data(), name.size()) != 0)
		return errno_text("pseudo-terminal");
	const Fd slave(open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC));
	if (slave.get() < 0 ||
	    dup3(slave.get(), channels().terminal, O_CLOEXEC) < 0)
		return errno_text(name.data());
	return "";
}

// Reads once from `fd` into `kept`, keeping at most `most` bytes in all.
// Returns false at the end of the stream (or on an error, which ends it
// too), and sets `overflow` once more than `most` bytes have come.
[[nodiscard]] bool read_chunk(int fd, std::string &kept, std::size_t most,
                              bool &overflow)
{
	// Not cleared: read fills it, and clearing 4 KiB a read is slow.
	// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
	std::array<char, 4096> buffer;
	const ssize_t n = read(fd, buffer.data(), buffer.size());
	if (n < 0)
		// EIO: a pseudo-terminal with no writer left is at its end;
		// EAGAIN: nothing more for now.
		return errno == EINTR || errno == EAGAIN;
	if (n == 0)
		return false;
	const auto got = static_cast<std::size_t>(n);
	const std::size_t room = most - kept.size();
	kept.append(buffer.data(), got < room ? got : room);
	if (got > room)
		overflow = true;
	return !overflow;
}

// Whether process `pid` has exited, once the descriptor of children's
// changes was readable. The signal is taken so that the descriptor is
// not readable for it again, but waitid is asked: the signals of several
// children that came at once are told as one.
bool has_exited(pid_t pid)
{
	signalfd_siginfo told{};
	const ssize_t taken = read(channels().children, &told, sizeof told);
	static_cast<void>(taken);
	siginfo_t info{};
	return waitid(P_PID, static_cast<id_t>(pid), &info,
	              WEXITED | WNOHANG | WNOWAIT) == 0 &&
	       info.si_pid == pid;
}

// Why no run goes on once the guard has ended: nothing would end it if the
// bench were killed.
const char *const guard_gone = "the bench's guard has ended";

// Whether the guard has ended, by a look at its pipe.
bool guard_ended()
{
	pollfd watched = {guard_watch(), POLLIN, 0};
	return watched.fd >= 0 && poll(&watched, 1, 0) > 0;
}

std::string timed_out(const Limits &limits)
{
	return "timed out after " + seconds_text(limits.timeout_seconds);
}

// Waits until one of `watched` is ready or the deadline has passed; with
// `look`, only looks. Returns what poll returns, 0 at the deadline. Past
// the deadline it still looks: the bench may have been stopped while the
// run went on, and what is ready then counts.
int wait_for(pollfd *watched, nfds_t count, double deadline, bool look)
{
	const double left = look ? 0 : deadline - now_seconds();
	return poll(watched, count,
	            left <= 0 ? 0 : static_cast<int>(std::ceil(left * 1000)));
}

// Reads a chunk into `kept` if poll found `watched` ready, and stops
// watching the stream at its end. Returns why the run must stop, or "".
[[nodiscard]] std::string read_if_ready(pollfd &watched, std::string &kept,
                                        const Limits &limits)
{
	if (watched.revents == 0)
		return "";
	bool overflow = false;
	if (!read_chunk(watched.fd, kept, limits.output_bytes, overflow))
		watched.fd = -1;
	return overflow ? "wrote more than " +
	                      std::to_string(limits.output_bytes) + " bytes"
	                : "";
}

// Reads the child's output and error until it has exited and what it
// wrote is read. Returns why it stopped sooner: the deadline passed, more
// than the limit was written, or poll failed; "" otherwise.
[[nodiscard]] std::string read_until_exit(int out, pid_t pid, double deadline,
                                          const Limits &limits,
                                          Outcome &outcome)
{
	std::array<pollfd, 4> watched = {{
	    {channels().children, POLLIN, 0},
	    {out, POLLIN, 0},
	    {channels().err_read, POLLIN, 0},
	    {guard_watch(), POLLIN, 0},
	}};
	auto &[exit_watch, out_watch, err_watch, guard_end] = watched;
	bool exited = false;
	for (;;) {
		// Once the process has exited, looking again without waiting
		// until nothing is left finds all it wrote: its writes came
		// before its exit.
		const int ready =
		    wait_for(watched.data(), watched.size(), deadline, exited);
		if (ready == 0 && exited)
			return "";
		// A run that has exited never timed out, even if the bench,
		// stopped, only looks now.
		if (ready == 0 && has_exited(pid)) {
			exited = true;
			exit_watch.fd = -1;
			continue;
		}
		if (ready == 0)
			return timed_out(limits);
		if (ready < 0 && errno != EINTR)
			return errno_text("poll");
		if (ready < 0)
			continue;
		if (guard_end.revents != 0)
			return guard_gone;
		std::string stop =
		    read_if_ready(out_watch, outcome.out, limits);
		if (stop.empty())
			stop = read_if_ready(err_watch, outcome.err, limits);
		if (!stop.empty())
			return stop;
		if (!exited && exit_watch.revents != 0 && has_exited(pid)) {
			exited = true;
			exit_watch.fd = -1;
		}
	}
}

// A terminal's output that is still on its way once every process that
// had the run's end of it is gone: read to its end.
[[nodiscard]] std::string read_terminal_rest(int master, double deadline,
                                             const Limits &limits,
                                             Outcome &outcome)
{
	pollfd watched = {master, POLLIN, 0};
	while (watched.fd >= 0) {
		const int ready = wait_for(&watched, 1, deadline, false);
		if (ready == 0)
			return timed_out(limits);
		if (ready < 0 && errno != EINTR)
			return errno_text("poll");
		if (ready < 0)
			continue;
		std::string stop = read_if_ready(watched, outcome.out, limits);
		if (!stop.empty())
			return stop;
	}
	return "";
}

// Why the started process could not exec, where vfork shares the bench's
// memory: the bench reads it once the vfork returns. 0 otherwise.
volatile int start_error = 0;

// Ends the started process, giving errno to the bench: in the shared
// memory and, where there is one, on the pipe `failed`.
[[noreturn]] void fail(int failed)
{
	const int error = errno;
	start_error = error;
	if (failed >= 0) {
		const ssize_t written = write(failed, &error, sizeof error);
		static_cast<void>(written);
	}
	_exit(127);
}

// The error number a started process wrote on `failed` before it
// exited, or 0 if it closed the pipe by its exec.
int told_error(int failed)
{
	int error = 0;
	ssize_t got = 0;
	while ((got = read(failed, &error, sizeof error)) < 0 &&
	       errno == EINTR) {
	}
	return got == sizeof error ? error : 0;
}

// Closes both ends of a pipe that was made (-1 where none was).
void close_pipe(const int (&ends)[2])
{
	for (const int end : ends)
		if (end >= 0)
			(void)close(end);
}

// Whether vfork shares the bench's memory and holds the bench until the
// new process execs or exits, as the kernel's does; where it is a fork,
// as under qemu-user, a pipe tells of a failed exec instead. Found once,
// by a process that only sets a flag: a pipe a run cost some 15 us.
bool vfork_shares_memory()
{
	static const bool shares = [] {
		static volatile int seen = 0;
		sigset_t all;
		sigset_t mask;
		sigfillset(&all);
		pthread_sigmask(SIG_SETMASK, &all, &mask);
		// NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.vfork)
		const pid_t child = vfork();
		if (child == 0) {
			// NOLINTNEXTLINE(clang-analyzer-unix.Vfork)
			seen = 1;
			_exit(0);
		}
		pthread_sigmask(SIG_SETMASK, &mask, nullptr);
		if (child > 0)
			while (waitpid(child, nullptr, 0) < 0 &&
			       errno == EINTR) {
			}
		return child > 0 && seen == 1;
	}();
	return shares;
}

// The started process's side, between vfork and exec: only system calls,
// on the bench's memory. It takes back the signal handlers the bench set
// (SIG_IGN stays), joins the process group and cgroup of its own, dies
// with the bench's first thread, and takes its descriptors and an empty
// signal mask. Gives the error number to the bench if it cannot exec (see
// fail()): on `failed`, where vfork is a fork, whose end closes at the exec,
// so the bench learns either way; -1 where vfork shares memory.
[[noreturn]] void become_run(const char *path, char *const *argv,
                             char *const *envp, int out, pid_t bench,
                             int failed)
{
	struct sigaction action = {};
	for (int signal = 1; signal < NSIG; ++signal)
		if (sigaction(signal, nullptr, &action) == 0 &&
		    action.sa_handler != SIG_IGN &&
		    action.sa_handler != SIG_DFL) {
			action.sa_handler = SIG_DFL;
			(void)sigaction(signal, &action, nullptr);
		}
	// Killed when the bench is, even with its guard gone: the bench is
	// its parent until it has started, or it must not start at all.
	if (setpgid(0, 0) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
		fail(failed);
	if (getppid() != bench)
		_exit(127);
	const int cgroup = run_cgroup_procs();
	const Channels &c = channels();
	if ((cgroup >= 0 && write(cgroup, "0", 1) != 1) ||
	    dup2(c.null, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
	    dup2(c.err_write, STDERR_FILENO) < 0)
		fail(failed);
	// Whatever the bench has open, such as its results, stays out; the
	// pipe that tells of a failure closes at the exec.
	const int kept = failed >= 0 ? failed : STDERR_FILENO;
	if (kept > STDERR_FILENO + 1)
		(void)close_range(STDERR_FILENO + 1,
		                  static_cast<unsigned int>(kept) - 1, 0);
	(void)close_range(static_cast<unsigned int>(kept) + 1, ~0U, 0);
	sigset_t none;
	sigemptyset(&none);
	(void)pthread_sigmask(SIG_SETMASK, &none, nullptr);
	execve(path, argv, envp);
	fail(failed);
}

} // namespace

// The spawn's settings, made once for all runs of a command.
class Launcher::Spawn
{
public:
	explicit Spawn(const Command &command)
	{
		words_.push_back(command.path);
		words_.insert(words_.end(), command.args.begin(),
		              command.args.end());
		argv_.resize(words_.size() + 1, nullptr);
		std::transform(words_.begin(), words_.end(), argv_.begin(),
		               // Not const: a const string's data() is a const
		               // char *.
		               // cppcheck-suppress constParameterReference
		               [](std::string &word) { return word.data(); });
	}

	// Starts the command, pinned from its first instruction if it has a
	// CPU: the new process takes the calling thread's CPUs with it. The
	// bench's first thread must call it: the run dies with the thread
	// that started it. Returns 0 or an error number.
	[[nodiscard]] int start(const Command &command, pid_t &pid) const
	{
		const bool shared = vfork_shares_memory();
		int failed[2] = {-1, -1};
		if (!shared && pipe2(failed, O_CLOEXEC) != 0)
			return errno;
		cpu_set_t own;
		CPU_ZERO(&own);
		const bool pin = command.cpu >= 0 &&
		                 sched_getaffinity(0, sizeof own, &own) == 0;
		if (pin) {
			cpu_set_t one;
			CPU_ZERO(&one);
			CPU_SET(static_cast<std::size_t>(command.cpu), &one);
			if (sched_setaffinity(0, sizeof one, &one) != 0) {
				const int error = errno;
				close_pipe(failed);
				return error;
			}
		}
		const int out = command.output == Output::pipe
		                    ? channels().out_write
		                    : channels().terminal;
		// Chosen before the vfork, so that the new process only calls.
		// cppcheck-suppress variableScope
		char *const *envp =
		    command.envp != nullptr ? command.envp : environ;
		// No handler of the bench's runs in the new process before it
		// has taken them back.
		sigset_t all;
		sigset_t mask;
		sigfillset(&all);
		pthread_sigmask(SIG_SETMASK, &all, &mask);
		const pid_t bench = getpid();
		start_error = 0;
		// The bench waits, its memory shared, until the run has
		// exec'd: nothing of it is copied. Only system calls follow.
		// NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.vfork)
		const pid_t child = vfork();
		if (child == 0)
			// It makes only system calls, and never returns.
			// NOLINTNEXTLINE(clang-analyzer-unix.Vfork)
			become_run(command.path.c_str(), argv_.data(), envp,
			           out, bench, failed[1]);
		pid = child;
		int spawned = pid < 0 ? errno : 0;
		if (failed[1] >= 0)
			(void)close(failed[1]);
		pthread_sigmask(SIG_SETMASK, &mask, nullptr);
		if (pin)
			sched_setaffinity(0, sizeof own, &own);
		if (pid > 0) {
			spawned = shared ? start_error : told_error(failed[0]);
			// The process that could not exec has exited.
			if (spawned != 0)
				while (waitpid(pid, nullptr, 0) < 0 &&
				       errno == EINTR) {
				}
		}
		if (failed[0] >= 0)
			(void)close(failed[0]);
		return spawned;
	}

private:
	std::vector<std::string> words_;
	std::vector<char *> argv_;
};

Launcher::Launcher(Command command)
    : command_(std::move(command)), spawn_(std::make_unique<Spawn>(command_))
{
}

Launcher::~Launcher() = default;
Launcher::Launcher(Launcher &&) noexcept = default;
Launcher &Launcher::operator=(Launcher &&) noexcept = default;

Outcome Launcher::run(const Limits &limits) const
{
	Outcome outcome;
	const Channels &c = channels();
	if (!c.failure.empty()) {
		outcome.failure = c.failure;
		return outcome;
	}
	Fd master;
	const bool terminal = command_.output == Output::terminal;
	if (terminal) {
		outcome.failure = open_terminal(master);
		if (!outcome.failure.empty())
			return outcome;
	}

	if (guard_ended()) {
		outcome.failure = guard_gone;
		return outcome;
	}
	pid_t pid = 0;
	const double start = now_seconds();
	const int spawned = spawn_->start(command_, pid);
	if (spawned == 0)
		note_running_group(pid);
	// Only the run holds its end of the terminal now, so reading it ends
	// when the run and whatever it started have closed it.
	if (terminal)
		dup3(c.null, c.terminal, O_CLOEXEC);
	if (spawned != 0) {
		outcome.failure = "cannot be run: " + error_text(spawned);
		return outcome;
	}
	const double deadline = start + limits.timeout_seconds;
	outcome.failure = read_until_exit(terminal ? master.get() : c.out_read,
	                                  pid, deadline, limits, outcome);

	// Stopped early: the process group outlives its leader while
	// anything in it runs; the leader, not yet reaped, keeps the
	// group's number from reuse.
	if (!outcome.failure.empty())
		kill(-pid, SIGKILL);
	rusage usage{};
	int status = 0;
	while (wait4(pid, &status, 0, &usage) < 0) {
		if (errno != EINTR) {
			outcome.failure = errno_text("wait4");
			return outcome;
		}
	}
	outcome.seconds = now_seconds() - start;
	note_running_group(0);
	// What is left of the run, in its group or out of it, is this
	// process's children now.
	const long left = end_strays();
	if (left < 0 && outcome.failure.empty())
		outcome.failure =
		    errno_text("cannot list the processes it left behind");
	outcome.wait_status = status;
	outcome.cpu_seconds =
	    seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
	if (outcome.failure.empty() && left > 0)
		outcome.failure = "left " + std::to_string(left) +
		                  (left == 1 ? " process" : " processes") +
		                  " behind";
	if (outcome.failure.empty() && terminal)
		outcome.failure =
		    read_terminal_rest(master.get(), deadline, limits, outcome);
	return outcome;
}
