#include "run/strays.hpp"

#include "text.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>
#include <sstream>
#include <sys/random.h>
#include <sys/stat.h>

namespace
{

// The process group of the run in progress, for kill_runs and the guard,
// and the guard's process ID: in memory that the guard shares once it is
// started.
struct Shared {
	std::atomic<pid_t> running_group{0};
	std::atomic<pid_t> guard{0};
	std::atomic<bool> cgroup{false}; // the runs' cgroup is in use
};
static_assert(std::atomic<pid_t>::is_always_lock_free,
              "shared between processes");
Shared own;
Shared *shared = &own;

// The kernel's list of this process's children, open from the start so that
// reading it takes one system call and no descriptor; -1 until then.
std::atomic<int> children_list{-1};

constexpr std::size_t most_children = 512;

// The runs' cgroup: its directory and the paths of its files, made before
// any run so that a signal handler and the guard need only use them; and
// its cgroup.procs open for the runs to join it.
struct Cgroup {
	char dir[4096] = {};
	char procs[4096] = {};
	char kill[4096] = {};
	int join = -1;
	// Its cgroup.procs open for reading, so that the look for strays after
	// every run reads it again from the start without opening it.
	int list = -1;
	// Its directory, locked while the bench lives.
	int held = -1;
};
Cgroup cgroup{};

// The guard's pipe, whose writing end only the guard holds: this end is
// ready once the guard has ended.
int guard_end = -1;

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

// Up to `most` processes of the runs' cgroup into `pids`, with calls that
// are safe in a signal handler. Returns how many, or -1.
long list_cgroup(pid_t *pids, std::size_t most)
{
	const int list = cgroup.list >= 0
	                     ? cgroup.list
	                     : open(cgroup.procs, O_RDONLY | O_CLOEXEC);
	if (list < 0)
		return -1;
	char text[4096];
	const ssize_t n = pread(list, text, sizeof text, 0);
	if (list != cgroup.list)
		(void)close(list);
	if (n < 0)
		return -1;
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
	return found - pids;
}

// Kills every process of the runs' cgroup: all at once through cgroup.kill
// (Linux 5.14), else one by one as cgroup.procs lists them. Safe in a
// signal handler.
void kill_cgroup()
{
	const int all = open(cgroup.kill, O_WRONLY | O_CLOEXEC);
	const bool killed = all >= 0 && write(all, "1", 1) == 1;
	if (all >= 0)
		(void)close(all);
	if (killed)
		return;
	pid_t left[most_children];
	for (int round = 0; round < 100; ++round) {
		const long n = list_cgroup(left, most_children);
		if (n <= 0)
			return;
		for (const pid_t *pid = left; pid < left + n; ++pid)
			kill(*pid, SIGKILL);
	}
}

// The cgroup the bench is in, as a directory: the cgroup2 mount point of
// /proc/self/mountinfo joined with the path of /proc/self/cgroup's "0::"
// line. Returns "" or why there is none.
std::string own_cgroup(std::string &dir)
{
	std::ifstream mounts("/proc/self/mountinfo");
	std::string mount_root;
	std::string mount_point;
	for (std::string line; std::getline(mounts, line);) {
		const std::size_t dash = line.find(" - cgroup2 ");
		if (dash == std::string::npos)
			continue;
		std::istringstream fields(line.substr(0, dash));
		std::string skipped;
		fields >> skipped >> skipped >> skipped >> mount_root >>
		    mount_point;
		break;
	}
	if (mount_point.empty())
		return "no cgroup2 mount";
	std::ifstream groups("/proc/self/cgroup");
	std::string path;
	for (std::string line; std::getline(groups, line);)
		if (line.rfind("0::", 0) == 0)
			path = line.substr(3);
	if (path.empty() || path[0] != '/')
		return "not in a cgroup of cgroup v2";
	// Mount paths with \ escapes are not worth reading back.
	if (mount_point.find('\\') != std::string::npos ||
	    path.find('\\') != std::string::npos)
		return "an escaped path in /proc/self/mountinfo";
	if (mount_root != "/" && path.rfind(mount_root + "/", 0) != 0 &&
	    path != mount_root)
		return "the cgroup2 mount does not show the bench's cgroup";
	if (mount_root != "/")
		path.erase(0, mount_root.size());
	dir = mount_point + (path == "/" ? "" : path);
	return "";
}

// Removes the runs' cgroups below `parent` that benches killed together with
// their guards left: unlocked, with what is still in them, as far as it
// goes. Those younger than a few seconds are spared: their bench may not
// have locked them yet.
void clear_left_cgroups(const std::string &parent)
{
	DIR *entries = opendir(parent.c_str());
	if (entries == nullptr)
		return;
	const std::string prefix = "thread-start-bench.";
	const std::time_t recent = std::time(nullptr) - 10;
	// NOLINTNEXTLINE(concurrency-mt-unsafe): a stream of its own
	while (const dirent *entry = readdir(entries)) {
		const std::string dir = parent + "/" + entry->d_name;
		if (std::string(entry->d_name).rfind(prefix, 0) != 0)
			continue;
		const int held =
		    open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
		struct stat made = {};
		if (held >= 0 && fstat(held, &made) == 0 &&
		    made.st_mtime < recent &&
		    flock(held, LOCK_EX | LOCK_NB) == 0) {
			const int all = open((dir + "/cgroup.kill").c_str(),
			                     O_WRONLY | O_CLOEXEC);
			if (all >= 0) {
				const ssize_t written = write(all, "1", 1);
				static_cast<void>(written);
				(void)close(all);
			}
			const timespec pause = {0, 10000000};
			for (int tries = 0;
			     tries < 100 && rmdir(dir.c_str()) != 0 &&
			     errno == EBUSY;
			     ++tries)
				(void)nanosleep(&pause, nullptr);
		}
		if (held >= 0)
			(void)close(held);
	}
	(void)closedir(entries);
}

// Makes the runs' cgroup below the bench's, named thread-start-bench.PID.HEX.
// Returns "" or why it cannot be made.
std::string make_cgroup()
{
	std::string dir;
	std::string why = own_cgroup(dir);
	if (!why.empty())
		return why;
	clear_left_cgroups(dir);
	unsigned int random = 0;
	if (getrandom(&random, sizeof random, 0) != sizeof random)
		return errno_text("getrandom");
	char name[64];
	(void)std::snprintf(name, sizeof name, "/thread-start-bench.%d.%08x",
	                    static_cast<int>(getpid()), random);
	dir += name;
	if (dir.size() + sizeof "/cgroup.procs" > sizeof cgroup.dir)
		return "its path is too long";
	if (mkdir(dir.c_str(), 0755) != 0)
		return errno_text(dir);
	(void)std::snprintf(cgroup.dir, sizeof cgroup.dir, "%s", dir.c_str());
	(void)std::snprintf(cgroup.procs, sizeof cgroup.procs,
	                    "%s/cgroup.procs", dir.c_str());
	(void)std::snprintf(cgroup.kill, sizeof cgroup.kill, "%s/cgroup.kill",
	                    dir.c_str());
	cgroup.held = open(cgroup.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (cgroup.held < 0 || flock(cgroup.held, LOCK_EX | LOCK_NB) != 0) {
		why = errno_text(cgroup.dir);
		(void)rmdir(cgroup.dir);
		return why;
	}
	cgroup.join = open(cgroup.procs, O_WRONLY | O_CLOEXEC);
	if (cgroup.join < 0) {
		why = errno_text(cgroup.procs);
		(void)rmdir(cgroup.dir);
		return why;
	}
	cgroup.list = open(cgroup.procs, O_RDONLY | O_CLOEXEC);
	return "";
}

// Removes the runs' cgroup, once empty: killed processes leave it a moment
// after they are killed.
void remove_cgroup()
{
	for (int tries = 0; tries < 500; ++tries) {
		if (rmdir(cgroup.dir) == 0 || errno != EBUSY)
			return;
		kill_cgroup();
		const timespec pause = {0, 10000000};
		(void)nanosleep(&pause, nullptr);
	}
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

// The guard: waits for the end of the bench, its end of the pipe
// `bench_gone`, then kills the run in progress then, if any, and what is in
// the runs' cgroup. It holds `guard_alive`, whose end the bench watches, and
// names itself over `title`, `title_size` bytes, after the bench `bench`.
[[noreturn]] void guard(int bench_gone, int guard_alive, char *title,
                        std::size_t title_size, pid_t bench)
{
	// Out of the terminal's process group, so that Ctrl-C reaches the
	// bench, which cleans up, and not the guard; and holding no
	// descriptor of the bench's.
	(void)setpgid(0, 0);
	// Named apart from the bench, as ps and pgrep show it, command line
	// included: `pkill -f thread-start-bench` spares it.
	(void)prctl(PR_SET_NAME, "bench-guard");
	if (title_size > 0) {
		std::memset(title, 0, title_size);
		(void)std::snprintf(title, title_size, "bench-guard of %d",
		                    static_cast<int>(bench));
	}
	if (dup2(bench_gone, 0) < 0 || dup2(guard_alive, 1) < 0)
		_exit(1);
	(void)close_range(2, ~0U, 0);
	char byte = 0;
	while (read(0, &byte, 1) < 0 && errno == EINTR) {
	}
	const pid_t group = shared->running_group.load();
	if (group > 0)
		kill(-group, SIGKILL);
	if (shared->cgroup.load()) {
		kill_cgroup();
		remove_cgroup();
	}
	_exit(0);
}

} // namespace

std::string start_guard(char *title, std::size_t title_size,
                        std::string &cgroup_note)
{
	void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
	                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	if (memory == MAP_FAILED)
		return errno_text("cannot share memory with the guard");
	shared = new (memory) Shared;
	int bench_gone[2];
	int guard_alive[2];
	if (pipe2(bench_gone, O_CLOEXEC) != 0)
		return errno_text("cannot make the guard's pipe");
	if (pipe2(guard_alive, O_CLOEXEC) != 0)
		return errno_text("cannot make the guard's pipe");
	const std::string no_cgroup = make_cgroup();
	shared->cgroup.store(no_cgroup.empty());
	const pid_t bench = getpid();
	// Started twice removed, so that it is not the bench's child: the
	// bench counts its children as what runs leave behind. The process
	// between, once the guard is started, tries joining the runs'
	// cgroup as the runs will: its status tells whether they can.
	const pid_t middle = fork();
	if (middle == 0) {
		const pid_t pid = fork();
		if (pid == 0)
			guard(bench_gone[0], guard_alive[1], title, title_size,
			      bench);
		shared->guard.store(pid);
		if (pid < 0)
			_exit(1);
		_exit(cgroup.join < 0 || write(cgroup.join, "0", 1) == 1 ? 0
		                                                         : 2);
	}
	const int error = errno;
	(void)close(bench_gone[0]);
	(void)close(guard_alive[1]);
	int status = 0;
	if (middle > 0)
		while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
		}
	if (middle < 0 || !WIFEXITED(status) ||
	    (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2)) {
		(void)close(bench_gone[1]);
		(void)close(guard_alive[0]);
		if (no_cgroup.empty())
			(void)rmdir(cgroup.dir);
		return "cannot start the guard: " +
		       error_text(middle < 0 ? error : EAGAIN);
	}
	guard_end = guard_alive[0];
	cgroup_note = no_cgroup.empty() ? std::string(cgroup.dir)
	                                : "no (" + no_cgroup + ")";
	if (no_cgroup.empty() && WEXITSTATUS(status) == 2) {
		// Made, but not to be joined: the runs go without.
		shared->cgroup.store(false);
		(void)close(cgroup.join);
		cgroup.join = -1;
		(void)rmdir(cgroup.dir);
		cgroup_note =
		    "no (cannot join " + std::string(cgroup.dir) + ")";
	}
	// Its end stays open, unseen by the runs, until the bench is gone.
	return "";
}

void remove_run_cgroup()
{
	if (!shared->cgroup.exchange(false))
		return;
	kill_cgroup();
	remove_cgroup();
}

int guard_watch()
{
	return guard_end;
}

int run_cgroup_procs()
{
	return cgroup.join;
}

namespace
{

// Kills what is left in the runs' cgroup that is not this process's child,
// as where the bench is no subreaper. Returns how many.
long end_cgroup_strays()
{
	if (!shared->cgroup.load())
		return 0;
	pid_t left[most_children];
	const long n = std::max(list_cgroup(left, most_children), 0L);
	for (const pid_t *pid = left; pid < left + n; ++pid)
		kill(*pid, SIGKILL);
	return n;
}

} // namespace

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
		return end_cgroup_strays();
	long ended = 0;
	pid_t left[most_children];
	for (;;) {
		const long n = list_children(left, most_children);
		if (n < 0)
			return -1;
		if (n == 0)
			return ended + end_cgroup_strays();
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
	if (shared->cgroup.load())
		kill_cgroup();
	pid_t left[most_children];
	// None if the list cannot be read.
	const long n = std::max(list_children(left, most_children), 0L);
	for (const pid_t *pid = left; pid < left + n; ++pid)
		kill(*pid, SIGKILL);
}
