// A stand-in for thread-start-time in the bench's tests: it burns at least
// BURN_USER_MS milliseconds of user time and BURN_SYSTEM_MS of system time,
// then reports, as its tick count, the user plus system time it has used
// in microseconds. The bench's process_cpu for its run must be at least
// that, and not much more.

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace
{

long used_us(bool system)
{
	rusage usage{};
	getrusage(RUSAGE_SELF, &usage);
	const timeval &t = system ? usage.ru_stime : usage.ru_utime;
	return (t.tv_sec * 1000000L) + t.tv_usec;
}

long milliseconds(const char *variable)
{
	const char *value =
	    std::getenv(variable); // NOLINT(concurrency-mt-unsafe)
	return value != nullptr ? std::strtol(value, nullptr, 10) : 0;
}

} // namespace

int main()
{
	const long user = milliseconds("BURN_USER_MS") * 1000;
	const long system = milliseconds("BURN_SYSTEM_MS") * 1000;
	volatile unsigned long spin = 0;
	while (used_us(false) < user)
		for (int i = 0; i < 100000; ++i)
			spin = spin + 1;
	// Each call is a system call doing a little work in the kernel.
	while (used_us(true) < system)
		for (int i = 0; i < 1000; ++i)
			(void)getppid();
	std::printf("Entered the loopp\nThe time of the childthread is %ld\n",
	            used_us(false) + used_us(true));
	return std::fclose(stdout) == 0 ? 0 : 1;
}
