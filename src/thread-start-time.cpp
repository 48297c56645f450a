// thread-start-time: print how much processor time this process spends from
// just before it creates one thread until that thread has started and written
// its first line, as a raw count of clock(3) ticks.
//
// The child thread writes "Entered the loopp", takes the end reading and
// writes "The time of the childthread is N". Arguments, standard input and
// the environment are not read, and nothing is written to standard error.
//
// Exit status: the error number of pthread_create or pthread_join if either
// failed; otherwise 1 if a clock reading was unavailable or standard output
// could not be written; otherwise 0.

#include <pthread.h>

#include <cstdio>
#include <ctime>

// The readings, their difference and the child's identifier are process-wide
// on purpose: the two threads share them instead of passing the thread's
// argument or result, and a debugger can find them by name.
extern "C" {
std::clock_t start_time; // start reading, taken by main
std::clock_t endtime;    // end reading, taken by the child thread
std::clock_t timediff;   // endtime - start_time, in clock ticks
pthread_t Childthread;

void *func1(void *arg);
}

// The child thread: write the first line, take the end reading straight
// after it, then report the difference.
void *func1(void * /*arg*/)
{
	std::puts("Entered the loopp");
	endtime = std::clock();
	timediff = endtime - start_time;
	std::printf("The time of the childthread is %ld\n", timediff);
	return nullptr;
}

namespace
{

// Flushes and closes standard output. Returns false if anything written to
// it was lost, now or by an earlier write.
[[nodiscard]] bool close_stdout()
{
	const bool lost_earlier = std::ferror(stdout) != 0;
	return std::fclose(stdout) == 0 && !lost_earlier;
}

} // namespace

int main()
{
	start_time = std::clock();
	const int created =
	    pthread_create(&Childthread, nullptr, func1, nullptr);
	if (created != 0)
		return created; // no thread, so nothing to wait for
	const int joined = pthread_join(Childthread, nullptr);
	if (joined != 0)
		return joined;

	// The measurement is over; the checks below lie outside it. A clock
	// that could not be read still gives its report line, but the run
	// is not a success, nor is one whose report was not written out.
	constexpr std::clock_t unavailable = -1;
	const bool reading_failed =
	    start_time == unavailable || endtime == unavailable;
	const bool written = close_stdout();
	return reading_failed || !written ? 1 : 0;
}
