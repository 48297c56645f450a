// Preloaded into thread-start-time by the tests to provoke failures that
// the machine cannot produce for real. Each stand-in behaves like the C
// library's own call unless its variable asks for a failure:
//
//   FAKE_CLOCK=all    clock() returns (clock_t)-1 on every thread
//   FAKE_CLOCK=child  only readings taken off the initial thread fail
//   FAKE_JOIN=fail    pthread_join waits as usual, then returns EINVAL

#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool asked(const char *name, const char *value)
{
	const char *set = std::getenv(name);
	return set != nullptr && std::strcmp(set, value) == 0;
}

template <typename F> F next(const char *symbol)
{
	// NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's contract
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
	if (asked("FAKE_CLOCK", "all") ||
	    (asked("FAKE_CLOCK", "child") && !on_initial_thread()))
		return static_cast<std::clock_t>(-1);
	return next<std::clock_t (*)()>("clock")();
}

int pthread_join(pthread_t thread, void **result)
{
	const int joined =
	    next<int (*)(pthread_t, void **)>("pthread_join")(thread, result);
	return joined == 0 && asked("FAKE_JOIN", "fail") ? EINVAL : joined;
}
}
