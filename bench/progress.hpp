// One line on standard error, updated in place while the bench runs: runs
// done of runs planned, time taken and an estimate of the time left. Only
// when standard error is a terminal, so that logs stay clean.
#pragma once

#include <atomic>

class Progress
{
public:
	// Shows progress towards `planned` runs, if standard error is a
	// terminal.
	void start(long planned);
	// Counts one run done.
	void step();
	// Takes the line away, before other output and at the end.
	void clear();
	// The same, safe in a signal handler.
	void clear_in_handler();

private:
	std::atomic<bool> shown_{false}; // the line is on the screen
	bool on_ = false;
	long planned_ = 0;
	long done_ = 0;
	double started_ = 0;
	double drawn_ = 0;
};

// The bench's one progress line.
Progress &progress();
