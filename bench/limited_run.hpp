// Runs a program once, under limits, and tells how it ended.
#pragma once

#include <cstddef>
#include <string>

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

// Runs `path` with no arguments and the environment `envp`: standard input
// /dev/null, standard output to `output`, standard error to a pipe, and no
// other descriptor. It runs in a process group of its own; when the run is
// over, whatever is left of that group is killed, so a run that hangs,
// floods its output or leaves processes behind ends within the timeout.
Outcome run_limited(const std::string &path, char *const envp[], Output output,
                    const Limits &limits);

// What went wrong with a run that `run_limited` returned, in a few words
// ("exited with status 3"), or "" if it exited 0 and wrote nothing to
// standard error. Its output is for the caller to judge.
std::string what_went_wrong(const Outcome &outcome);

// `bytes` in double quotes, with control characters, quotes and non-ASCII
// bytes escaped as C writes them, and cut after `most` bytes with "...".
std::string quoted(const std::string &bytes, std::size_t most = 120);

// The text of error number `error`.
std::string error_text(int error);
