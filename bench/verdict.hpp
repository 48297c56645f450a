// Whether a run counts: how it ended, and its report read strictly. A run
// counts only if it exited 0, wrote nothing to standard error and printed
// exactly what a successful run prints.
#pragma once

#include "run/launcher.hpp"

#include <array>
#include <optional>
#include <string>

// What went wrong with a run that `Launcher::run` returned, in a few words
// ("exited with status 3"), or "" if it exited 0 and wrote nothing to
// standard error. Its output is for the report's readers below to judge.
[[nodiscard]] std::string what_went_wrong(const Outcome &outcome);

// The count in a line of `%ld` output that a successful run prints: 0 or
// more, digits only, no sign, no leading zero, and within a long.
[[nodiscard]] std::optional<long> parse_count(const std::string &text);

// The count in thread-start-time's two-line report, whose lines end in
// `eol` ("\n", or "\r\n" from a terminal).
[[nodiscard]] std::optional<long> program_ticks(const std::string &output,
                                                const std::string &eol);

// The count in cold-thread-start's one line.
[[nodiscard]] std::optional<long> helper_ticks(const std::string &output);

// The counts that follow the parts in thread-start-parts' report, in its
// order: each part's minor and major page faults, and its voluntary and
// involuntary context switches.
inline constexpr std::array<const char *, 12> part_count_names = {
    "creator_faults",      "creator_major_faults",
    "creator_switches",    "creator_involuntary_switches",
    "new_thread_faults",   "new_thread_major_faults",
    "new_thread_switches", "new_thread_involuntary_switches",
    "first_line_faults",   "first_line_major_faults",
    "first_line_switches", "first_line_involuntary_switches",
};

// thread-start-parts' report: the span in ticks, the parts it divides
// into, in microseconds, and the counts of part_count_names.
struct Parts {
	long ticks = 0;
	double creator = 0;
	double new_thread = 0;
	double first_line = 0;
	double rest = 0;
	std::array<long, part_count_names.size()> counts{};
};

// The parts in thread-start-parts' two lines, "Entered the loopp" and
// "ticks=T creator=C new_thread=N first_line=F rest=R NAME=K...", if they
// are exactly that: T a count, C, N and F decimals with three places, R
// the same with a sign allowed, C + N + F + R equal to T to rounding, then
// each name of part_count_names in order with a count K as parse_count
// reads it.
[[nodiscard]] std::optional<Parts> parts_report(const std::string &output);
