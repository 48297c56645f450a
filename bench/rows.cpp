#include "rows.hpp"

#include <algorithm>
#include <iterator>

namespace
{

// program_run/NAME stands for the variants' rows.
const char *const variant_row = "program_run/NAME";

// clang-format off
const std::vector<Row> &table()
{
	static const std::vector<Row> rows = {
	    {"program_run/pipe",
	     "thread-start-time, its standard output a pipe",
	     Reads::program_report, Setting::plain, "", "", ""},
	    {"program_run/pipe_one_arena",
	     "the same with glibc.malloc.arena_max=1 in GLIBC_TUNABLES",
	     Reads::program_report, Setting::one_arena, "",
	     "program_run/pipe", "ticks"},
	    {"program_run/pinned",
	     "the same, pinned to one CPU from its first instruction",
	     Reads::program_report, Setting::pinned, "",
	     "program_run/pipe", "ticks"},
	    {variant_row,
	     "the same with the variables of --variant=NAME:... set",
	     Reads::program_report, Setting::variant, "",
	     "program_run/pipe", "ticks"},
	    {"program_run/tty",
	     "the same, its standard output a pseudo-terminal",
	     Reads::program_report, Setting::terminal, "", "", ""},
	    {"program_parts/default",
	     "thread-start-parts: the span and the parts it splits into",
	     Reads::parts_report, Setting::plain, "", "", ""},
	    {"program_parts/own_stack",
	     "the same, the new thread on a stack made before the span",
	     Reads::parts_report, Setting::plain, "own-stack",
	     "program_parts/default", "creator"},
	    {"program_parts/small_stack",
	     "the same, the new thread on a 64 KiB stack",
	     Reads::parts_report, Setting::plain, "small-stack",
	     "program_parts/default", "creator"},
	    {"cold_thread_start",
	     "cold-thread-start: the thread start alone",
	     Reads::helper_report, Setting::plain, "", "", ""},
	    {"warm_create_join",
	     "100 threads created and joined in the bench, per thread",
	     Reads::nothing, Setting::plain, "", "", "", 100},
	};
	return rows;
}
// clang-format on

const std::string run_prefix = "program_run/";

} // namespace

std::vector<Row> all_rows(const std::vector<std::string> &variants)
{
	std::vector<Row> rows;
	for (const Row &row : table()) {
		if (row.setting != Setting::variant) {
			rows.push_back(row);
			continue;
		}
		for (std::size_t i = 0; i < variants.size(); ++i) {
			Row variant = row;
			variant.name = run_prefix + variants[i];
			variant.variant = i;
			rows.push_back(variant);
		}
	}
	return rows;
}

std::vector<std::string> taken_variant_names()
{
	std::vector<std::string> taken;
	for (const Row &row : table())
		if (row.setting != Setting::variant &&
		    row.name.compare(0, run_prefix.size(), run_prefix) == 0)
			taken.push_back(row.name.substr(run_prefix.size()));
	return taken;
}

std::string full_name(const Row &row, int repetitions)
{
	return row.name + "/iterations:" + std::to_string(row.iterations) +
	       "/repeats:" + std::to_string(repetitions) +
	       (row.reads == Reads::nothing ? "/process_time/real_time"
	                                    : "/manual_time");
}

std::string rows_entry(const std::vector<Row> &rows)
{
	std::string entry;
	for (const Row &row : rows)
		entry += (entry.empty() ? "" : " ") + row.name;
	return entry;
}

std::string levers_entry(const std::vector<Row> &rows)
{
	std::string entry;
	for (const Row &row : rows) {
		const bool base_too = std::any_of(
		    rows.begin(), rows.end(), [&row](const Row &other) {
			    return other.name == row.base;
		    });
		if (row.base.empty() || !base_too)
			continue;
		entry += (entry.empty() ? "" : " ") + row.name + ":" +
		         row.base + ":" + row.counter;
	}
	return entry;
}
