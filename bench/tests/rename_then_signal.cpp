// Stands in for rename(2) and renameat(2) in the bench's tests, preloaded:
// renames, then raises the signal whose number RENAME_SIGNAL holds, as if
// it had come just after.
#include <dlfcn.h>

#include <csignal>
#include <cstdlib>

namespace
{

// Raises RENAME_SIGNAL's signal if the rename, whose result is `done`,
// succeeded. Returns `done`.
int signal_after(int done)
{
	// NOLINTNEXTLINE(concurrency-mt-unsafe): read once, by one thread
	const char *signal = std::getenv("RENAME_SIGNAL");
	if (done == 0 && signal != nullptr)
		(void)std::raise(
		    static_cast<int>(std::strtol(signal, nullptr, 10)));
	return done;
}

} // namespace

// NOLINTBEGIN(cppcoreguidelines-pro-type-reinterpret-cast)
extern "C" int rename(const char *from, const char *to)
{
	using Rename = int (*)(const char *, const char *);
	static const auto real =
	    reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
	return signal_after(real(from, to));
}

extern "C" int renameat(int from_dir, const char *from, int to_dir,
                        const char *to)
{
	using Renameat = int (*)(int, const char *, int, const char *);
	static const auto real =
	    reinterpret_cast<Renameat>(dlsym(RTLD_NEXT, "renameat"));
	return signal_after(real(from_dir, from, to_dir, to));
}
// NOLINTEND(cppcoreguidelines-pro-type-reinterpret-cast)
