#include "run/strays.hpp"

#include "text.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <new>

namespace
{

// The process group of the run in progress, for kill_runs and the guard,
// and the guard's process ID: in memory that the guard shares once it is
// started.
struct Shared {
	std::atomic<pid_t> running_group{0};
	std::atomic<pid_t> guard{0};
};
static_assert(std::atomic<pid_t>::is_always_lock_free,
              "shared between processes");
Shared own;
Shared *shared = &own;

// The kernel's list of this process's children, open from the start so that
// reading it takes one system call and no descriptor; -1 until then.
std::atomic<int> children_list{-1};

constexpr std::size_t most_children = 512;

// Up to `most` children of this process into `pids`, as the kernel lists
// them; with calls that are safe in a signal handler. Returns how many, or
// -1 with errno set if the list cannot be read.
long list_children(pid_t *pids, std::size_t most)
{
	const int list = children_list.load();
	if (list < 0)
		return 0;
	char text[4096];
	const ssize_t n = pread(list, text, sizeof text, 0);
	if (n < 0)
		return -1;
	// A number cut short at the end of the text is left for the next
	// reading: only one that a separator ends is taken.
	pid_t *found = pids;
	pid_t pid = 0;
	for (const char *c = text; c < text + n && found < pids + most; ++c) {
		if (*c >= '0' && *c <= '9') {
			pid = pid * 10 + (*c - '0');
			continue;
		}
		// The guard is this process's child only where the bench is
		// process 1 of a PID namespace; it is no stray.
		if (pid > 0 && pid != shared->guard.load())
			*found++ = pid;
		pid = 0;
	}
	return found - pids;
}

} // namespace

bool become_subreaper()
{
	return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

std::string open_children_list()
{
	// The children of this process's first thread, which starts the runs.
	const std::string path =
	    "/proc/self/task/" + std::to_string(getpid()) + "/children";
	const int list = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (list < 0)
		return errno_text(path);
	children_list.store(list);
	pid_t pid = 0;
	if (list_children(&pid, 1) < 0) {
		std::string why = errno_text(path);
		children_list.store(-1);
		close(list);
		return why;
	}
	return "";
}

namespace
{

// The guard: waits for the end of the bench, its end of the pipe, then
// kills the run in progress then, if any.
[[noreturn]] void guard(int bench_gone)
{
	// Out of the terminal's process group, so that Ctrl-C reaches the
	// bench, which cleans up, and not the guard; and holding no
	// descriptor of the bench's.
	(void)setpgid(0, 0);
	// Named apart from the bench, as ps and pgrep show it.
	(void)prctl(PR_SET_NAME, "bench-guard");
	if (dup2(bench_gone, 0) < 0)
		_exit(1);
	(void)close_range(1, ~0U, 0);
	char byte = 0;
	while (read(0, &byte, 1) < 0 && errno == EINTR) {
	}
	const pid_t group = shared->running_group.load();
	if (group > 0)
		kill(-group, SIGKILL);
	_exit(0);
}

} // namespace

std::string start_guard()
{
	void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
	                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	if (memory == MAP_FAILED)
		return errno_text("cannot share memory with the guard");
	shared = new (memory) Shared;
	int bench_gone[2];
	if (pipe2(bench_gone, O_CLOEXEC) != 0)
		return errno_text("cannot make the guard's pipe");
	// Started twice removed, so that it is not the bench's child: the
	// bench counts its children as what runs leave behind.
	const pid_t middle = fork();
	if (middle == 0) {
		const pid_t pid = fork();
		if (pid == 0)
			guard(bench_gone[0]);
		shared->guard.store(pid);
		_exit(pid > 0 ? 0 : 1);
	}
	const int error = errno;
	(void)close(bench_gone[0]);
	int status = 0;
	if (middle > 0)
		while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
		}
	if (middle < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
		(void)close(bench_gone[1]);
		return "cannot start the guard: " +
		       error_text(middle < 0 ? error : EAGAIN);
	}
	// Its end stays open, unseen by the runs, until the bench is gone.
	return "";
}

void note_running_group(pid_t group)
{
	shared->running_group.store(group);
}

long end_strays()
{
	// Without a child of any kind left there is nothing to look for.
	siginfo_t any{};
	if (waitid(P_ALL, 0, &any, WEXITED | WNOHANG | WNOWAIT) < 0 &&
	    errno == ECHILD)
		return 0;
	long ended = 0;
	pid_t left[most_children];
	for (;;) {
		const long n = list_children(left, most_children);
		if (n <= 0)
			return n < 0 ? -1 : ended;
		// A process that has exited already is no stray: it is only
		// reaped. One still running counts.
		for (const pid_t *pid = left; pid < left + n; ++pid) {
			siginfo_t info{};
			if (waitid(P_PID, static_cast<id_t>(*pid), &info,
			           WEXITED | WNOHANG | WNOWAIT) == 0 &&
			    info.si_pid == *pid)
				continue;
			++ended;
			kill(*pid, SIGKILL);
		}
		for (const pid_t *pid = left; pid < left + n; ++pid)
			while (waitpid(*pid, nullptr, 0) < 0 &&
			       errno == EINTR) {
			}
	}
}

void kill_runs()
{
	const pid_t group = shared->running_group.load();
	if (group > 0)
		kill(-group, SIGKILL);
	pid_t left[most_children];
	// None if the list cannot be read.
	const long n = std::max(list_children(left, most_children), 0L);
	for (const pid_t *pid = left; pid < left + n; ++pid)
		kill(*pid, SIGKILL);
}
