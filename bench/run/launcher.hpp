// Runs a program once, under limits, and tells how it ended: the bench's
// mechanism for its process rows. Whether the run counts is verdict.hpp's
// to judge.
#pragma once

#include <cstddef>
#include <memory>
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
	// not be started, timed out, wrote too much or left processes behind.
	// Empty otherwise.
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

// A command made ready to be run many times. Its arguments and the spawn's
// settings are built once, and its runs share one pipe for standard output
// and one for standard error, held open by the bench, so that a run costs
// little beyond the run itself.
class Launcher
{
public:
	explicit Launcher(Command command);
	~Launcher();
	Launcher(const Launcher &) = delete;
	Launcher &operator=(const Launcher &) = delete;
	Launcher(Launcher &&) noexcept;
	Launcher &operator=(Launcher &&) noexcept;

	const Command &command() const { return command_; }

	// Runs the command once: standard input /dev/null, standard output
	// to its output, standard error to a pipe, and no other descriptor,
	// in a process group of its own. The run is over when the process
	// has exited; whatever it leaves behind, in its group or out of it
	// (the bench is the subreaper of its runs), is then killed, and the
	// run fails. A run that hangs or floods its output is stopped. What
	// a failed run wrote may be left in the shared pipes: the bench
	// stops at the first failure.
	[[nodiscard]] Outcome run(const Limits &limits) const;

private:
	class Spawn;
	Command command_;
	std::unique_ptr<Spawn> spawn_;
};
