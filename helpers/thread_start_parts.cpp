// thread-start-parts: thread-start-time's measurement, in the same order,
// with the threads' own processor clocks read as well, so that the span can
// be told apart. It prints one line:
//
//   ticks=T creator=C new_thread=N first_line=F rest=R
//
// T is the span read with clock(3), as thread-start-time reads it. The
// parts, in microseconds of each thread's own clock with three decimals:
// C the creating thread inside pthread_create, N the new thread before the
// first instruction of its routine, F the new thread in its first puts,
// and R the span less those three (the creator until it blocks in the
// join, and the readings themselves). C + N + F + R = T to rounding.
//
// After R, four counts for each of the three parts, in the order creator,
// new_thread, first_line, from getrusage(RUSAGE_THREAD) of the thread that
// spends the part:
//
//   PART_faults=M PART_major_faults=J PART_switches=V
//   PART_involuntary_switches=I
//
// M the minor page faults, J the major ones, V the voluntary context
// switches and I the involuntary ones. The creator's are read around
// pthread_create, the new thread's at the start of its routine (a thread's
// counts start at 0), the first line's around the first puts. No reading
// falls inside a thread clock's part: each is just outside it, and its
// counts take in the clock reading next to it too. Three readings fall
// inside the span, in R: each a system call of about 1 microsecond (1.1 on
// the x86-64 virtual machine the README's figures come from).
//
// With the argument "own-stack" the new thread runs on a 1 MiB stack
// allocated and touched before the start reading; with "small-stack" it gets
// a 64 KiB stack of the C library's (its smallest where that is more, as on
// arm64). Exit status: 0, or the error number of a thread call, or 1 if a
// reading (of a clock or of getrusage) or the output failed.

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

namespace
{

std::clock_t start_reading;
std::clock_t end_reading;
// Thread clock readings, in nanoseconds; -1 when unavailable.
long long new_thread_began;
long long line_began;
long long line_ended;
bool first_line_written;
// The new thread's counts at the start of its routine and after its first
// line; each false when getrusage failed.
rusage new_thread_usage;
rusage line_usage;
bool new_thread_counted;
bool line_counted;

// The calling thread's counts into `usage`; false if getrusage failed.
bool thread_usage(rusage &usage)
{
	return getrusage(RUSAGE_THREAD, &usage) == 0;
}

long long thread_ns()
{
	timespec t{};
	if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0)
		return -1;
	return (static_cast<long long>(t.tv_sec) * 1000000000LL) + t.tv_nsec;
}

void *first_line(void * /*arg*/)
{
	new_thread_began = thread_ns();
	new_thread_counted = thread_usage(new_thread_usage);
	line_began = thread_ns();
	first_line_written = std::puts("Entered the loopp") >= 0;
	line_ended = thread_ns();
	end_reading = std::clock();
	line_counted = thread_usage(line_usage);
	return nullptr;
}

// 64 KiB, or the smallest stack the C library takes where that is more
// (128 KiB on arm64, whose pages may be 64 KiB).
std::size_t small_stack()
{
	constexpr std::size_t wanted = std::size_t{64} * 1024;
	const long least = sysconf(_SC_THREAD_STACK_MIN);
	return least > 0 ? std::max(wanted, static_cast<std::size_t>(least))
	                 : wanted;
}

// Big enough for the thread and for a sanitizer's runtime; touched a page
// at a time, which leaves the caches much as they were.
constexpr std::size_t own_stack = std::size_t{1024} * 1024;

// Sets `attributes` up for the mode asked for. Returns 0 or an error.
[[nodiscard]] int prepare(const char *mode, pthread_attr_t &attributes)
{
	if (mode == nullptr)
		return 0;
	if (std::strcmp(mode, "small-stack") == 0)
		return pthread_attr_setstacksize(&attributes, small_stack());
	if (std::strcmp(mode, "own-stack") == 0) {
		const auto page =
		    static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
		void *stack =
		    mmap(nullptr, own_stack, PROT_READ | PROT_WRITE,
		         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
		if (stack == MAP_FAILED)
			return 1;
		// Touched, so that no page of it faults in inside the span.
		for (std::size_t at = 0; at < own_stack; at += page)
			static_cast<volatile char *>(stack)[at] = 0;
		return pthread_attr_setstack(&attributes, stack, own_stack);
	}
	return 1;
}

double microseconds(long long ns)
{
	return static_cast<double>(ns) / 1000.0;
}

// The four counts of one part, `after` less `before`, as the report
// prints them after its name. The C library declares each field of rusage
// in a union with a word of the kernel's size.
// NOLINTBEGIN(cppcoreguidelines-pro-type-union-access)
void print_counts(const char *part, const rusage &before, const rusage &after)
{
	std::printf(" %s_faults=%ld %s_major_faults=%ld %s_switches=%ld "
	            "%s_involuntary_switches=%ld",
	            part, after.ru_minflt - before.ru_minflt, part,
	            after.ru_majflt - before.ru_majflt, part,
	            after.ru_nvcsw - before.ru_nvcsw, part,
	            after.ru_nivcsw - before.ru_nivcsw);
}
// NOLINTEND(cppcoreguidelines-pro-type-union-access)

} // namespace

int main(int argc, char **argv)
{
	pthread_attr_t attributes;
	if (pthread_attr_init(&attributes) != 0)
		return 1;
	const int prepared = prepare(argc > 1 ? argv[1] : nullptr, attributes);
	if (prepared != 0)
		return prepared;
	const bool defaults = argc <= 1;
	// A warm-up: getrusage's first call may fault its code in, before the
	// span rather than in the creator's counts.
	rusage creator_before{};
	rusage creator_after{};
	if (!thread_usage(creator_before))
		return 1;

	start_reading = std::clock();
	const bool create_counted = thread_usage(creator_before);
	const long long create_began = thread_ns();
	pthread_t thread{};
	const int created = pthread_create(
	    &thread, defaults ? nullptr : &attributes, first_line, nullptr);
	const long long create_ended = thread_ns();
	const bool created_counted = thread_usage(creator_after);
	if (created != 0)
		return created;
	const int joined = pthread_join(thread, nullptr);
	if (joined != 0)
		return joined;

	const long long readings[] = {create_began, create_ended,
	                              new_thread_began, line_began, line_ended};
	if (std::any_of(std::begin(readings), std::end(readings),
	                [](long long reading) { return reading < 0; }) ||
	    start_reading == -1 || end_reading == -1 || !first_line_written ||
	    !create_counted || !created_counted || !new_thread_counted ||
	    !line_counted)
		return 1;

	const long ticks = end_reading - start_reading;
	const double creator = microseconds(create_ended - create_began);
	const double new_thread = microseconds(new_thread_began);
	const double line = microseconds(line_ended - line_began);
	const double rest =
	    static_cast<double>(ticks) - creator - new_thread - line;
	std::printf("ticks=%ld creator=%.3f new_thread=%.3f first_line=%.3f "
	            "rest=%.3f",
	            ticks, creator, new_thread, line, rest);
	const rusage zero{};
	print_counts("creator", creator_before, creator_after);
	print_counts("new_thread", zero, new_thread_usage);
	print_counts("first_line", new_thread_usage, line_usage);
	std::printf("\n");
	return std::fclose(stdout) == 0 ? 0 : 1;
}
