// What the bench does when a signal would end it: end the run in progress
// and everything it started, remove its temporary results file, take the
// progress line away, and then die of the same signal, so that the shell
// sees it (130 for SIGINT). However many signals come, this is done once,
// for the first.
#pragma once

// Handles every signal whose default action ends the process so (SIGHUP,
// SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGPIPE, SIGXFSZ, the real-time
// signals...), but the faults of the bench's own (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGTRAP, SIGSYS).
void clean_up_when_interrupted();
