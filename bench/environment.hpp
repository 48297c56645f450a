// The environments the rows run their programs in: the bench's own, with
// a malloc tunable added or a user's variables set.
#pragma once

#include <string>
#include <utility>
#include <vector>

// A copy of this process's environment that can be changed and handed to
// posix_spawn.
class Environment
{
public:
	Environment();
	// Sets NAME to VALUE, in place of any NAME already there.
	void set(const std::string &name, const std::string &value);
	// Adds a glibc tunable to GLIBC_TUNABLES, after any already there.
	void add_tunable(const std::string &tunable);
	// NULL-terminated, as posix_spawn takes it; valid until the next
	// change.
	char *const *get();

private:
	std::vector<std::string> variables_;
	std::vector<char *> pointers_;
	bool changed_ = true;
};

// A user's variant: a row of its own that runs thread-start-time with
// environment variables set.
struct Variant {
	std::string name;
	std::vector<std::pair<std::string, std::string>> assignments;
};

// Adds the variant NAME:VAR=VALUE to `variants`, joining the assignments
// of an earlier one of the same NAME. Returns "" or why it is unusable.
// `taken` are row names the bench has already.
[[nodiscard]] std::string add_variant(std::vector<Variant> &variants,
                                      const std::string &text,
                                      const std::vector<std::string> &taken);

// The variants as the results' context lists them:
// "NAME: VAR=VALUE VAR=VALUE; NAME: ...", or "none".
std::string describe(const std::vector<Variant> &variants);
