#include "progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace
{

double now()
{
	timespec t{};
	(void)clock_gettime(CLOCK_MONOTONIC, &t); // cannot fail here
	return static_cast<double>(t.tv_sec) +
	       (static_cast<double>(t.tv_nsec) * 1e-9);
}

// Redrawn at most this often, so that the terminal costs the bench little.
constexpr double redraw_seconds = 0.2;

} // namespace

void Progress::start(long planned)
{
	on_ = planned > 0 && isatty(STDERR_FILENO) == 1;
	planned_ = planned;
	done_ = 0;
	started_ = now();
	drawn_ = 0;
}

void Progress::step()
{
	++done_;
	if (!on_)
		return;
	const double t = now();
	if (t - drawn_ < redraw_seconds && done_ < planned_)
		return;
	drawn_ = t;
	const double taken = t - started_;
	const double left = done_ >= planned_
	                        ? 0
	                        : taken / static_cast<double>(done_) *
	                              static_cast<double>(planned_ - done_);
	(void)std::fprintf(stderr,
	                   "\rthread-start-bench: %ld of %ld runs, %.0f s, "
	                   "about %.0f s left\033[K",
	                   done_, planned_, taken, left);
	shown_ = true;
}

void Progress::clear()
{
	if (!shown_)
		return;
	(void)std::fputs("\r\033[K", stderr);
	shown_ = false;
}

void Progress::clear_in_handler()
{
	static const char erase[] = "\r\033[K";
	if (!shown_.exchange(false))
		return;
	const ssize_t written = write(STDERR_FILENO, erase, sizeof erase - 1);
	static_cast<void>(written);
}

Progress &progress()
{
	static Progress line;
	return line;
}
