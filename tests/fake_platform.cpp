// Preloaded into thread-start-time by the tests to provoke failures that
// the machine cannot produce for real. Each stand-in behaves like the C
// library's own call unless its variable asks for a failure:
//
//   FAKE_CLOCK=all      clock() returns (clock_t)-1 on every thread
//   FAKE_CLOCK=child    only readings taken off the initial thread fail
//   FAKE_CLOCK=initial  only readings taken on the initial thread fail
//   FAKE_JOIN=fail      pthread_join waits as usual, then returns EINVAL
//   FAKE_PUTS=lose      the first puts() loses its line as a failed write
//                       does: nothing written, the stream's error indicator
//                       set, EOF returned; later output goes through
//   FAKE_PUTS=burn      puts() first uses 20 ms of processor time, so that
//                       a span that holds it holds 20000 ticks at least
//
// puts stands in for write(2): the C library's streams call their own
// write, which a preloaded library cannot replace.

#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

// The value of a FAKE_* variable, or "" when unset. Nothing in the process
// changes the environment, so reading it from any thread is safe.
const char *fake(const char *variable)
{
	const char *value =
	    std::getenv(variable); // NOLINT(concurrency-mt-unsafe)
	return value != nullptr ? value : "";
}

bool is(const char *value, const char *expected)
{
	return std::strcmp(value, expected) == 0;
}

// The C library's definition of a symbol this library stands in for.
template <typename F> F real(const char *symbol)
{
	// dlsym returns every symbol as void *; the caller names its type.
	// NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

bool on_initial_thread()
{
	return syscall(SYS_gettid) == getpid();
}

} // namespace

extern "C" {

std::clock_t clock() noexcept
{
	const char *mode = fake("FAKE_CLOCK");
	if (is(mode, "all") || (is(mode, "child") && !on_initial_thread()) ||
	    (is(mode, "initial") && on_initial_thread()))
		return static_cast<std::clock_t>(-1);
	return real<std::clock_t (*)()>("clock")();
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int pthread_join(pthread_t thread, void **result)
{
	const int joined =
	    real<int (*)(pthread_t, void **)>("pthread_join")(thread, result);
	return joined == 0 && is(fake("FAKE_JOIN"), "fail") ? EINVAL : joined;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int puts(const char *text)
{
	static bool lost = false;
	if (is(fake("FAKE_PUTS"), "burn")) {
		const std::clock_t until =
		    real<std::clock_t (*)()>("clock")() + CLOCKS_PER_SEC / 50;
		while (real<std::clock_t (*)()>("clock")() < until) {
		}
	}
	if (!lost && is(fake("FAKE_PUTS"), "lose")) {
		lost = true;
		stdout->_flags |= _IO_ERR_SEEN;
		return EOF;
	}
	return real<int (*)(const char *)>("puts")(text);
}
}
