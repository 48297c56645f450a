#include "interrupt.hpp"

#include "progress.hpp"
#include "results/results_file.hpp"
#include "run/strays.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace
{

// Dies of `signal`: its default action, which the handler's mask holds
// back until it is set; or exits with the status a shell shows for it.
[[noreturn]] void die_of(int signal)
{
	struct sigaction default_action = {};
	default_action.sa_handler = SIG_DFL;
	(void)sigaction(signal, &default_action, nullptr);
	// Pending, for this thread, until it is unblocked.
	(void)syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), signal);
	sigset_t only;
	sigemptyset(&only);
	sigaddset(&only, signal);
	(void)pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
	// Still here: as process 1 of a PID namespace, the bench is not
	// killed by a signal it sends itself. Its status says the same.
	_exit(128 + signal);
}

// Writes `text` on standard error, from a signal handler.
void say(const char *text)
{
	const ssize_t written = write(STDERR_FILENO, text, std::strlen(text));
	static_cast<void>(written);
}

extern "C" void interrupted(int signal)
{
	// Cleaned up by the first thread only, the one that starts the runs:
	// a thread of the bench's own that caught the signal hands it on.
	if (static_cast<pid_t>(syscall(SYS_gettid)) != getpid()) {
		(void)syscall(SYS_tgkill, getpid(), getpid(), signal);
		return;
	}
	// Every signal is blocked here, so this runs once: a second signal,
	// of any kind, waits and dies with the process.
	kill_runs();
	remove_run_cgroup();
	ResultsFile::discard();
	progress().clear_in_handler();
	// Too late to leave the file as it was: say that it is complete.
	const char *const written = ResultsFile::written();
	if (written != nullptr) {
		say("thread-start-bench: the results are complete in ");
		say(written);
		say("; then a signal came\n");
	}
	die_of(signal);
}

// Every signal whose default action ends the process, but those a fault
// of the bench's own raises, which are left to the defaults (and to the
// sanitizers), and SIGXFSZ, which the results file takes so that a write
// past the file size limit fails and is reported.
bool ends_the_bench(int signal)
{
	switch (signal) {
	case SIGHUP:
	case SIGINT:
	case SIGQUIT:
	case SIGABRT:
	case SIGUSR1:
	case SIGUSR2:
	case SIGPIPE:
	case SIGALRM:
	case SIGTERM:
	case SIGXCPU:
	case SIGVTALRM:
	case SIGPROF:
	case SIGIO:
	case SIGPWR:
#ifdef SIGSTKFLT
	case SIGSTKFLT:
#endif
		return true;
	default:
		return signal >= SIGRTMIN && signal <= SIGRTMAX;
	}
}

} // namespace

void clean_up_when_interrupted()
{
	struct sigaction action = {};
	action.sa_handler = interrupted;
	sigfillset(&action.sa_mask);
	for (int signal = 1; signal < NSIG; ++signal) {
		struct sigaction old = {};
		// A signal the bench was started with ignored stays ignored,
		// as a shell's background job expects.
		if (!ends_the_bench(signal) ||
		    sigaction(signal, nullptr, &old) != 0 ||
		    old.sa_handler == SIG_IGN)
			continue;
		(void)sigaction(signal, &action, nullptr);
	}
}
