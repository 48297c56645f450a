#include "limited_run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace
{

// The process group of the run in progress, for kill_runs.
std::atomic<pid_t> running_group{0};

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

double seconds_of(const timeval &t)
{
	return static_cast<double>(t.tv_sec) +
	       static_cast<double>(t.tv_usec) * 1e-6;
}

std::string seconds_text(double seconds)
{
	std::array<char, 32> text{};
	(void)std::snprintf(text.data(), text.size(), "%g s", seconds);
	return text.data();
}

// The two ends of the channel that becomes the child's standard output.
bool open_output(Output output, Fd &parent_end, Fd &child_end,
                 std::string &failure)
{
	if (output == Output::pipe) {
		int ends[2];
		if (pipe2(ends, O_CLOEXEC) != 0) {
			failure = errno_text("pipe2");
			return false;
		}
		parent_end.reset(ends[0]);
		child_end.reset(ends[1]);
		return true;
	}
	parent_end.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
	std::array<char, 128> name{};
	if (parent_end.get() < 0 || grantpt(parent_end.get()) != 0 ||
	    unlockpt(parent_end.get()) != 0 ||
	    ptsname_r(parent_end.get(), name.data(), name.size()) != 0) {
		failure = errno_text("pseudo-terminal");
		return false;
	}
	child_end.reset(open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC));
	if (child_end.get() < 0) {
		failure = errno_text(name.data());
		return false;
	}
	return true;
}

// Starts `path` in a process group of its own with descriptors 0, 1 and 2
// as given and nothing else open. Returns 0 or an error number.
int spawn(const Command &command, int out, int err, pid_t &pid)
{
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
	                                 O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
	posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
	// Whatever the bench has open, such as its JSON file, stays out.
	posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

	posix_spawnattr_t attributes;
	posix_spawnattr_init(&attributes);
	sigset_t none;
	sigemptyset(&none);
	posix_spawnattr_setsigmask(&attributes, &none);
	posix_spawnattr_setpgroup(&attributes, 0);
	posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP |
	                                          POSIX_SPAWN_SETSIGMASK);

	std::vector<std::string> words = {command.path};
	words.insert(words.end(), command.args.begin(), command.args.end());
	std::vector<char *> argv(words.size() + 1, nullptr);
	std::transform(words.begin(), words.end(), argv.begin(),
	               [](std::string &word) { return word.data(); });

	// The new process takes the calling thread's CPUs with it, so it is
	// pinned from its first instruction.
	cpu_set_t own;
	CPU_ZERO(&own);
	const bool pin =
	    command.cpu >= 0 && sched_getaffinity(0, sizeof own, &own) == 0;
	if (pin) {
		cpu_set_t one;
		CPU_ZERO(&one);
		CPU_SET(static_cast<std::size_t>(command.cpu), &one);
		if (sched_setaffinity(0, sizeof one, &one) != 0)
			return errno;
	}
	const int spawned = posix_spawn(&pid, command.path.c_str(), &actions,
	                                &attributes, argv.data(), command.envp);
	if (pin)
		sched_setaffinity(0, sizeof own, &own);
	posix_spawnattr_destroy(&attributes);
	posix_spawn_file_actions_destroy(&actions);
	return spawned;
}

// Reads what is there on `fd` into `kept`, keeping at most `most` bytes.
// Returns false at the end of the stream (or on an error, which ends it
// too), and sets `overflow` once more than `most` bytes have come.
bool drain(int fd, std::string &kept, std::size_t most, bool &overflow)
{
	std::array<char, 4096> buffer{};
	const ssize_t n = read(fd, buffer.data(), buffer.size());
	if (n < 0)
		// EIO: a pseudo-terminal with no writer left is at its end.
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

// Reads the child's output and error until both are at their end and the
// process has exited. Returns why it stopped sooner: the deadline passed,
// more than the limit was written, or poll failed; "" otherwise.
std::string watch(int out, int err, int exited, double deadline,
                  const Limits &limits, Outcome &outcome)
{
	std::array<pollfd, 3> watched = {{
	    {out, POLLIN, 0},
	    {err, POLLIN, 0},
	    {exited, POLLIN, 0},
	}};
	auto &[out_watch, err_watch, exit_watch] = watched;
	bool overflow = false;
	while (out_watch.fd >= 0 || err_watch.fd >= 0 || exit_watch.fd >= 0) {
		const double left = deadline - now_seconds();
		const int ready =
		    left <= 0 ? 0
		              : poll(watched.data(), watched.size(),
		                     static_cast<int>(std::ceil(left * 1000)));
		if (ready == 0)
			return "timed out after " +
			       seconds_text(limits.timeout_seconds);
		if (ready < 0 && errno != EINTR)
			return errno_text("poll");
		if (ready < 0)
			continue;
		if (out_watch.revents != 0 &&
		    !drain(out_watch.fd, outcome.out, limits.output_bytes,
		           overflow))
			out_watch.fd = -1;
		if (err_watch.revents != 0 &&
		    !drain(err_watch.fd, outcome.err, limits.output_bytes,
		           overflow))
			err_watch.fd = -1;
		// A process that has exited stays readable: once is enough.
		if (exit_watch.revents != 0)
			exit_watch.fd = -1;
		if (overflow)
			return "wrote more than " +
			       std::to_string(limits.output_bytes) + " bytes";
	}
	return "";
}

// Up to `most` children of this process into `pids`, as the kernel lists
// them; with calls that are safe in a signal handler. Returns how many.
std::size_t list_children(pid_t *pids, std::size_t most)
{
	char path[64] = "/proc/self/task/";
	char *at = path + std::strlen(path);
	char digits[16];
	char *digit = digits;
	for (auto pid = static_cast<unsigned long>(getpid()); pid > 0;
	     pid /= 10)
		*digit++ = static_cast<char>('0' + pid % 10);
	while (digit > digits)
		*at++ = *--digit;
	std::memcpy(at, "/children", sizeof "/children");

	const int list = open(path, O_RDONLY | O_CLOEXEC);
	if (list < 0)
		return 0;
	char text[4096];
	const ssize_t n = read(list, text, sizeof text);
	close(list);
	pid_t *found = pids;
	pid_t pid = 0;
	for (const char *c = text; c < text + n && found < pids + most; ++c) {
		if (*c >= '0' && *c <= '9') {
			pid = pid * 10 + (*c - '0');
			continue;
		}
		if (pid > 0)
			*found++ = pid;
		pid = 0;
	}
	return static_cast<std::size_t>(found - pids);
}

constexpr std::size_t most_children = 512;

// Ends whatever the last run left behind outside its group: processes
// that became this process's children when their parents died.
void end_strays()
{
	// Without a child of any kind left there is nothing to look for.
	siginfo_t any{};
	if (waitid(P_ALL, 0, &any, WEXITED | WNOHANG | WNOWAIT) < 0 &&
	    errno == ECHILD)
		return;
	pid_t left[most_children];
	for (std::size_t n = list_children(left, most_children); n > 0;
	     n = list_children(left, most_children)) {
		for (const pid_t *pid = left; pid < left + n; ++pid)
			kill(*pid, SIGKILL);
		for (const pid_t *pid = left; pid < left + n; ++pid)
			while (waitpid(*pid, nullptr, 0) < 0 &&
			       errno == EINTR) {
			}
	}
}

} // namespace

bool become_subreaper()
{
	return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

void kill_runs()
{
	const pid_t group = running_group.load();
	if (group > 0)
		kill(-group, SIGKILL);
	pid_t left[most_children];
	const std::size_t n = list_children(left, most_children);
	for (const pid_t *pid = left; pid < left + n; ++pid)
		kill(*pid, SIGKILL);
}

std::string error_text(int error)
{
	std::array<char, 256> text{};
	// The GNU strerror_r returns either `text` or a static string.
	return strerror_r(error, text.data(), text.size());
}

Outcome run_limited(const Command &command, const Limits &limits)
{
	Outcome outcome;
	Fd out_read;
	Fd out_write;
	if (!open_output(command.output, out_read, out_write, outcome.failure))
		return outcome;
	int err_ends[2];
	if (pipe2(err_ends, O_CLOEXEC) != 0) {
		outcome.failure = errno_text("pipe2");
		return outcome;
	}
	Fd err_read(err_ends[0]);
	Fd err_write(err_ends[1]);

	pid_t pid = 0;
	const double start = now_seconds();
	const int spawned =
	    spawn(command, out_write.get(), err_write.get(), pid);
	if (spawned == 0)
		running_group.store(pid);
	// Only the child holds the writing ends now, so reading ends when
	// the child and whatever it started have closed them.
	out_write.reset();
	err_write.reset();
	if (spawned != 0) {
		outcome.failure = "cannot be run: " + error_text(spawned);
		return outcome;
	}
	// Readable once the process has exited (Linux 5.3 and later).
	Fd exited(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
	if (exited.get() < 0)
		outcome.failure = errno_text("pidfd_open");

	if (outcome.failure.empty())
		outcome.failure =
		    watch(out_read.get(), err_read.get(), exited.get(),
		          start + limits.timeout_seconds, limits, outcome);

	// The process group outlives its leader while anything in it runs;
	// the leader, not yet reaped, keeps the group's number from reuse.
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
	running_group.store(0);
	end_strays();
	outcome.wait_status = status;
	outcome.cpu_seconds =
	    seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
	return outcome;
}

std::string what_went_wrong(const Outcome &outcome)
{
	if (!outcome.failure.empty())
		return outcome.failure;
	std::string what;
	if (WIFSIGNALED(outcome.wait_status)) {
		const int signal = WTERMSIG(outcome.wait_status);
		what = "killed by signal " + std::to_string(signal);
		if (const char *name = sigabbrev_np(signal))
			what += std::string(" (SIG") + name + ")";
	} else if (WEXITSTATUS(outcome.wait_status) != 0) {
		what = "exited with status " +
		       std::to_string(WEXITSTATUS(outcome.wait_status));
	}
	if (!outcome.err.empty())
		what += (what.empty() ? "" : ", and ") +
		        std::string("wrote to standard error: ") +
		        quoted(outcome.err);
	return what;
}

std::string quoted(const std::string &bytes, std::size_t most)
{
	std::string text = "\"";
	for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
		const auto byte = static_cast<unsigned char>(bytes[i]);
		switch (byte) {
		case '\n':
			text += "\\n";
			break;
		case '\r':
			text += "\\r";
			break;
		case '\t':
			text += "\\t";
			break;
		case '"':
		case '\\':
			text += '\\';
			text += static_cast<char>(byte);
			break;
		default:
			if (byte < 0x20 || byte >= 0x7f) {
				std::array<char, 8> escape{};
				(void)std::snprintf(escape.data(),
				                    escape.size(), "\\x%02x",
				                    byte);
				text += escape.data();
			} else {
				text += static_cast<char>(byte);
			}
		}
	}
	text += '"';
	if (bytes.size() > most)
		text += "...";
	return text;
}
