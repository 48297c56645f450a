// Runs a program once, under limits, and tells how it ended.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Where the program's standard output goes.
enum class Output { pipe, terminal };

struct Limits {
	double timeout_seconds = 10;
	// Bytes kept of each of standard output and standard error; a run
	// that writes more is stopped.
	std::size_t output_bytes = 4096;
};

// One finished run.
struct Outcome {
	std::string out; // standard output, at most Limits::output_bytes
	std::string err; // standard error, likewise
	int wait_status = 0;
	double seconds = 0;     // wall time from spawning to reaping
	double cpu_seconds = 0; // user plus system time of the reaped process
	// Why the run could not be judged by its status and output: it could
	// not be started, timed out or wrote too much. Empty otherwise.
	std::string failure;
};

// How one program is run.
struct Command {
	std::string path;
	std::vector<std::string> args; // after argv[0]
	char *const *envp = nullptr;
	Output output = Output::pipe;
	int cpu = -1; // the only CPU it may run on, or -1: the bench's own
};

// Runs `command`: standard input /dev/null, standard output to its output,
// standard error to a pipe, and no other descriptor. It runs in a process
// group of its own; when the run is over, whatever is left of that group
// is killed, and so is any process of the run that left the group (the
// bench is their subreaper), so a run that hangs, floods its output or
// leaves processes behind ends within the timeout.
Outcome run_limited(const Command &command, const Limits &limits);

// Makes this process the reaper of its descendants' orphans, so that what
// a run leaves behind can be found and ended. Returns false if it cannot.
bool become_subreaper();

// Kills the group of the run in progress, if any, and every child of this
// process, without waiting for them: for a signal handler.
void kill_runs();

// What went wrong with a run that `run_limited` returned, in a few words
// ("exited with status 3"), or "" if it exited 0 and wrote nothing to
// standard error. Its output is for the caller to judge.
std::string what_went_wrong(const Outcome &outcome);

// `bytes` in double quotes, with control characters, quotes and non-ASCII
// bytes escaped as C writes them, and cut after `most` bytes with "...".
std::string quoted(const std::string &bytes, std::size_t most = 120);

// The text of error number `error`.
std::string error_text(int error);
