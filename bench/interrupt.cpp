#include "interrupt.hpp"

#include "results/results_file.hpp"
#include "run/strays.hpp"

#include <unistd.h>

#include <csignal>

namespace
{

extern "C" void interrupted(int signal)
{
	kill_runs();
	ResultsFile::discard();
	// The disposition is the default again: once this returns, the
	// signal is delivered anew and ends the process.
	(void)raise(signal);
}

} // namespace

void clean_up_when_interrupted()
{
	struct sigaction action = {};
	action.sa_handler = interrupted;
	sigfillset(&action.sa_mask);
	action.sa_flags = static_cast<int>(SA_RESETHAND);
	for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
		struct sigaction old = {};
		// A signal the bench was started with ignored stays ignored,
		// as a shell's background job expects.
		if (sigaction(signal, nullptr, &old) == 0 &&
		    old.sa_handler == SIG_IGN)
			continue;
		(void)sigaction(signal, &action, nullptr);
	}
}
