// The bench's rows: the one list of them, in the order the console shows
// them, with what each measures, the report it reads, and for a lever the
// row it changes and the counter on which the two are compared. The
// guide's (doc/bench.md) and the manual page's lists of rows follow this one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The report a row's program prints, which the row reads.
enum class Reads : unsigned char {
	program_report, // thread-start-time's two lines
	parts_report,   // thread-start-parts' two lines
	helper_report,  // cold-thread-start's one line
	nothing,        // none: the row runs in the bench's own process
};

// How a row runs its program.
enum class Setting : unsigned char {
	plain,     // in the bench's environment, output on a pipe
	one_arena, // glibc.malloc.arena_max=1 added to GLIBC_TUNABLES
	pinned,    // on one CPU from its first instruction
	variant,   // with a --variant's variables set
	terminal,  // output on a pseudo-terminal
};

struct Row {
	std::string name;
	std::string measures; // what one repetition is, in one line
	Reads reads = Reads::nothing;
	Setting setting = Setting::plain;
	std::string argument; // the program's one argument, or ""
	// A lever's: the row it changes and the counter on which the two are
	// compared; "" for other rows.
	std::string base;
	std::string counter;
	int iterations = 1;      // of each repetition
	std::size_t variant = 0; // which --variant, for Setting::variant
};

// Every row in the bench's order, one for each of `variants` (by name, in
// the order given) where the list has program_run/NAME.
[[nodiscard]] std::vector<Row>
all_rows(const std::vector<std::string> &variants);

// The names after program_run/ that the rows have already, which a variant
// cannot take.
[[nodiscard]] std::vector<std::string> taken_variant_names();

// The name that Google Benchmark gives `row` registered with `repetitions`
// as thread_start_bench.cpp registers it, as it lists it.
[[nodiscard]] std::string full_name(const Row &row, int repetitions);

// The results' context entry `rows`: the names of `rows`, in their order,
// separated by single spaces.
[[nodiscard]] std::string rows_entry(const std::vector<Row> &rows);

// The results' context entry `levers`: ROW:BASE:COUNTER for each lever of
// `rows` whose base is among them too, in their order, separated by single
// spaces.
[[nodiscard]] std::string levers_entry(const std::vector<Row> &rows);
