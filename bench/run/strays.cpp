#include "run/strays.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace
{

// The process group of the run in progress, for kill_runs.
std::atomic<pid_t> running_group{0};

constexpr std::size_t most_children = 512;

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
		*digit++ = static_cast<char>('0' + (pid % 10));
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

} // namespace

bool become_subreaper()
{
	return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

void note_running_group(pid_t group)
{
	running_group.store(group);
}

std::size_t end_strays()
{
	// Without a child of any kind left there is nothing to look for.
	siginfo_t any{};
	if (waitid(P_ALL, 0, &any, WEXITED | WNOHANG | WNOWAIT) < 0 &&
	    errno == ECHILD)
		return 0;
	std::size_t ended = 0;
	pid_t left[most_children];
	for (std::size_t n = list_children(left, most_children); n > 0;
	     n = list_children(left, most_children)) {
		ended += n;
		for (const pid_t *pid = left; pid < left + n; ++pid)
			kill(*pid, SIGKILL);
		for (const pid_t *pid = left; pid < left + n; ++pid)
			while (waitpid(*pid, nullptr, 0) < 0 &&
			       errno == EINTR) {
			}
	}
	return ended;
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
