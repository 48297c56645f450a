// Stands in for rename(2) in the bench's tests, preloaded: renames, then
// raises the signal whose number RENAME_SIGNAL holds, as if it had come
// just after.
#include <dlfcn.h>

#include <csignal>
#include <cstdlib>

extern "C" int rename(const char *from, const char *to)
{
	using Rename = int (*)(const char *, const char *);
	// NOLINTBEGIN(cppcoreguidelines-pro-type-reinterpret-cast)
	static const auto real =
	    reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
	// NOLINTEND(cppcoreguidelines-pro-type-reinterpret-cast)
	const int done = real(from, to);
	// NOLINTNEXTLINE(concurrency-mt-unsafe): read once, by one thread
	const char *signal = std::getenv("RENAME_SIGNAL");
	if (done == 0 && signal != nullptr)
		(void)std::raise(
		    static_cast<int>(std::strtol(signal, nullptr, 10)));
	return done;
}
