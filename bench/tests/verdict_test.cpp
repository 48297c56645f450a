// Known answers of the bench's report readers and of its verdict on a run:
// one case a line; every case that fails is named, and the status is 1 if
// any did.

#include "text.hpp"
#include "verdict.hpp"

#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>

namespace
{

int failures = 0;

void fail(const char *what, const char *name, const std::string &got,
          const std::string &expected)
{
	++failures;
	(void)std::printf("FAIL %s: %s: got %s, expected %s\n", what, name,
	                  got.c_str(), expected.c_str());
}

std::string text_of(const std::optional<long> &count)
{
	return count ? std::to_string(*count) : "none";
}

std::string text_of(const std::optional<Parts> &parts)
{
	if (!parts)
		return "none";
	char text[160];
	(void)std::snprintf(text, sizeof text, "%ld %.4f %.4f %.4f %.4f",
	                    parts->ticks, parts->creator, parts->new_thread,
	                    parts->first_line, parts->rest);
	std::string all = text;
	for (const long count : parts->counts)
		all += " " + std::to_string(count);
	return all;
}

const std::optional<long> none;
const std::string good_first = "Entered the loopp\n";
const std::string good_second = "The time of the childthread is ";

struct CountCase {
	const char *name;
	std::string text;
	std::optional<long> expected;
};

// clang-format off
const CountCase count_cases[] = {
    {"zero",                      "0",                    0},
    {"one digit",                 "5",                    5},
    {"a zero inside and last",    "1020",                 1020},
    {"the largest long",          "9223372036854775807",  LONG_MAX},
    {"the largest long plus one", "9223372036854775808",  none},
    {"a digit past a long",       "92233720368547758070", none},
    {"2 to the 64th",             "18446744073709551616", none},
    {"nothing",                   "",                     none},
    {"two zeros",                 "00",                   none},
    {"a leading zero",            "007",                  none},
    {"a minus sign",              "-5",                   none},
    {"minus zero",                "-0",                   none},
    {"a plus sign",               "+5",                   none},
    {"a space before",            " 5",                   none},
    {"a space after",             "5 ",                   none},
    {"a newline after",           "5\n",                  none},
    {"a carriage return after",   "5\r",                  none},
    {"an exponent",               "1e3",                  none},
    {"hexadecimal",               "0x10",                 none},
    {"a decimal point",           "5.0",                  none},
    {"a colon, after the nine",   "1:",                   none},
    {"a slash, before the zero",  "1/",                   none},
};
// clang-format on

void test_parse_count()
{
	for (const CountCase &c : count_cases) {
		const auto got = parse_count(c.text);
		if (got != c.expected)
			fail("parse_count", c.name, text_of(got),
			     text_of(c.expected));
	}
}

struct ProgramCase {
	const char *name;
	std::string output;
	std::string eol;
	std::optional<long> expected;
};

const std::string pipe_report = good_first + good_second + "5\n";
const std::string tty_report = "Entered the loopp\r\n" + good_second + "5\r\n";

// clang-format off
const ProgramCase program_cases[] = {
    {"a pipe's report",              pipe_report,                           "\n",   5},
    {"a terminal's report",          tty_report,                            "\r\n", 5},
    {"a terminal's, read as a pipe's", tty_report,                          "\n",   none},
    {"a pipe's, read as a terminal's", pipe_report,                         "\r\n", none},
    {"zero",                         good_first + good_second + "0\n",      "\n",   0},
    {"the largest long",
     good_first + good_second + "9223372036854775807\n",                    "\n",   LONG_MAX},
    {"past a long",
     good_first + good_second + "9223372036854775808\n",                    "\n",   none},
    {"a negative count",             good_first + good_second + "-5\n",     "\n",   none},
    {"a leading zero",               good_first + good_second + "05\n",     "\n",   none},
    {"no count",                     good_first + good_second + "\n",       "\n",   none},
    {"two spaces before the count",  good_first + good_second + " 5\n",     "\n",   none},
    {"a space after the count",      good_first + good_second + "5 \n",     "\n",   none},
    {"a carriage return on a pipe",  good_first + good_second + "5\r\n",    "\n",   none},
    {"no newline at the end",        good_first + good_second + "5",        "\n",   none},
    {"no newline after two digits",  good_first + good_second + "55",       "\n",   none},
    {"a line more",                  pipe_report + "more\n",                "\n",   none},
    {"an empty line more",           pipe_report + "\n",                    "\n",   none},
    {"the first line only",          good_first,                            "\n",   none},
    {"the second line only",         good_second + "5\n",                   "\n",   none},
    {"nothing",                      "",                                    "\n",   none},
    {"one p in loopp",
     "Entered the loop\n" + good_second + "5\n",                            "\n",   none},
    {"both on one line",
     "Entered the loopp " + good_second + "5\n",                            "\n",   none},
    {"the lines swapped",            good_second + "5\n" + good_first,      "\n",   none},
};
// clang-format on

void test_program_ticks()
{
	for (const ProgramCase &c : program_cases) {
		const auto got = program_ticks(c.output, c.eol);
		if (got != c.expected)
			fail("program_ticks", c.name, text_of(got),
			     text_of(c.expected));
	}
}

// clang-format off
const CountCase helper_cases[] = {
    {"a count",                  "5\n",                     5},
    {"zero",                     "0\n",                     0},
    {"the largest long",         "9223372036854775807\n",   LONG_MAX},
    {"past a long",              "9223372036854775808\n",   none},
    {"no newline",               "12",                      none},
    {"a newline only",           "\n",                      none},
    {"nothing",                  "",                        none},
    {"a negative count",         "-3\n",                    none},
    {"a space before the newline", "12 \n",                 none},
    {"a carriage return",        "12\r\n",                  none},
    {"a leading zero",           "007\n",                   none},
    {"two lines",                "1\n2\n",                  none},
    {"an empty line more",       "5\n\n",                   none},
};
// clang-format on

void test_helper_ticks()
{
	for (const CountCase &c : helper_cases) {
		const auto got = helper_ticks(c.text);
		if (got != c.expected)
			fail("helper_ticks", c.name, text_of(got),
			     text_of(c.expected));
	}
}

struct PartsCase {
	const char *name;
	std::string line; // after "Entered the loopp\n"
	std::optional<Parts> expected;
};

const std::optional<Parts> no_parts;

// The counts after the rest, each known and told apart from the others.
const std::string counts =
    " creator_faults=11 creator_major_faults=12 creator_switches=13"
    " creator_involuntary_switches=14 new_thread_faults=21"
    " new_thread_major_faults=22 new_thread_switches=23"
    " new_thread_involuntary_switches=24 first_line_faults=31"
    " first_line_major_faults=32 first_line_switches=33"
    " first_line_involuntary_switches=34";
const std::array<long, 12> known = {11, 12, 13, 14, 21, 22,
                                    23, 24, 31, 32, 33, 34};
const std::array<long, 12> largest_first = {LONG_MAX, 12, 13, 14, 21, 22,
                                            23,       24, 31, 32, 33, 34};
const std::string zero_counts =
    " creator_faults=0 creator_major_faults=0 creator_switches=0"
    " creator_involuntary_switches=0 new_thread_faults=0"
    " new_thread_major_faults=0 new_thread_switches=0"
    " new_thread_involuntary_switches=0 first_line_faults=0"
    " first_line_major_faults=0 first_line_switches=0"
    " first_line_involuntary_switches=0";

// The helper's usual report with its counts, the first `from` in it made
// `to`.
std::string line_with(const std::string &from, const std::string &to)
{
	std::string line = "ticks=5 creator=2.000 new_thread=1.000 "
	                   "first_line=1.500 rest=0.500" +
	                   counts + "\n";
	return line.replace(line.find(from), from.size(), to);
}

// clang-format off
const PartsCase parts_cases[] = {
    {"a report",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=6.000 rest=-1.250" + counts + "\n",
     Parts{10, 4.25, 1, 6, -1.25, known}},
    {"the helper's usual report",
     "ticks=5 creator=2.000 new_thread=1.000 first_line=1.500 rest=0.500" + counts + "\n",
     Parts{5, 2, 1, 1.5, 0.5, known}},
    {"all zero, the rest minus zero",
     "ticks=0 creator=0.000 new_thread=0.000 first_line=0.000 rest=-0.000" + counts + "\n",
     Parts{0, 0, 0, 0, -0.0, known}},
    {"a sum short by 0.001, within rounding",
     "ticks=1 creator=0.333 new_thread=0.333 first_line=0.333 rest=0.000" + counts + "\n",
     Parts{1, 0.333, 0.333, 0.333, 0, known}},
    {"a sum over by 0.002, within rounding",
     "ticks=1 creator=0.334 new_thread=0.334 first_line=0.334 rest=0.000" + counts + "\n",
     Parts{1, 0.334, 0.334, 0.334, 0, known}},
    {"a sum short by 0.003, past rounding",
     "ticks=1 creator=0.333 new_thread=0.333 first_line=0.333 rest=-0.002" + counts + "\n",
     no_parts},
    {"a sum short by a quarter",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.000" + counts + "\n",
     no_parts},
    {"a sum over by a quarter",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.500" + counts + "\n",
     no_parts},
    {"a million, the most a part may be",
     "ticks=1000000 creator=1000000.000 new_thread=0.000 first_line=0.000 rest=0.000" + counts + "\n",
     Parts{1000000, 1000000, 0, 0, 0, known}},
    {"ten million, past it",
     "ticks=10000000 creator=10000000.000 new_thread=0.000 first_line=0.000 rest=0.000" + counts + "\n",
     no_parts},
    {"a negative creator",
     "ticks=10 creator=-4.250 new_thread=1.000 first_line=3.500 rest=9.750" + counts + "\n",
     no_parts},
    {"a negative new_thread",
     "ticks=10 creator=4.250 new_thread=-1.000 first_line=3.500 rest=3.250" + counts + "\n",
     no_parts},
    {"a negative first_line",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=-3.500 rest=8.250" + counts + "\n",
     no_parts},
    {"a plus sign on the rest",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=+1.250" + counts + "\n",
     no_parts},
    {"two minus signs on the rest",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=--1.250" + counts + "\n",
     no_parts},
    {"two places",
     "ticks=10 creator=4.25 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"four places",
     "ticks=10 creator=4.2500 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"a leading zero",
     "ticks=10 creator=04.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"no whole digits",
     "ticks=10 creator=.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"no point",
     "ticks=10 creator=4250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"two points",
     "ticks=10 creator=4.2.0 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"ticks with a leading zero",
     "ticks=010 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"negative ticks",
     "ticks=-10 creator=-4.250 new_thread=-1.000 first_line=-3.500 rest=-1.250" + counts + "\n",
     no_parts},
    {"ticks past a long",
     "ticks=9223372036854775808 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"parts in another order",
     "ticks=10 new_thread=1.000 creator=4.250 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"no rest",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500" + counts + "\n",
     no_parts},
    {"a part more",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + " more=0.000\n",
     no_parts},
    {"a space at the end",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + " \n",
     no_parts},
    {"two spaces between parts",
     "ticks=10  creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"a name in capitals",
     "Ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\n",
     no_parts},
    {"a carriage return",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\r\n",
     no_parts},
    {"no newline",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts,
     no_parts},
    {"a line more",
     "ticks=10 creator=4.250 new_thread=1.000 first_line=3.500 rest=1.250" + counts + "\nmore\n",
     no_parts},
    {"no second line",                 "",       no_parts},
    {"an empty second line",           "\n",     no_parts},
    {"counts of 0",
     "ticks=5 creator=2.000 new_thread=1.000 first_line=1.500 rest=0.500" + zero_counts + "\n",
     Parts{5, 2, 1, 1.5, 0.5, {}}},
    {"the largest count",
     line_with("creator_faults=11", "creator_faults=9223372036854775807"),
     Parts{5, 2, 1, 1.5, 0.5, largest_first}},
    {"no counts, as before them",
     "ticks=5 creator=2.000 new_thread=1.000 first_line=1.500 rest=0.500\n", no_parts},
    {"the last count missing",
     line_with(" first_line_involuntary_switches=34", ""),                  no_parts},
    {"the first count missing",
     line_with(" creator_faults=11", ""),                                    no_parts},
    {"a count past a long",
     line_with("=11", "=9223372036854775808"),                               no_parts},
    {"a negative count",
     line_with("=21", "=-21"),                                               no_parts},
    {"a plus sign on a count",
     line_with("=21", "=+21"),                                               no_parts},
    {"a count with a leading zero",
     line_with("=21", "=021"),                                               no_parts},
    {"a count with decimals",
     line_with("=21", "=21.000"),                                            no_parts},
    {"a count with junk after it",
     line_with("=34", "=34x"),                                               no_parts},
    {"an empty count",
     line_with("=34", "="),                                                  no_parts},
    {"a count in hexadecimal",
     line_with("=12", "=0xc"),                                               no_parts},
    {"two counts swapped",
     line_with("creator_faults=11 creator_major_faults=12",
               "creator_major_faults=12 creator_faults=11"),                 no_parts},
    {"a count's name misspelt",
     line_with("new_thread_switches", "new_thread_switch"),                  no_parts},
    {"the same count twice",
     line_with("first_line_switches=33", "first_line_faults=33"),            no_parts},
};
// clang-format on

void test_parts_report()
{
	for (const PartsCase &c : parts_cases) {
		const auto got = parts_report(good_first + c.line);
		if (text_of(got) != text_of(c.expected))
			fail("parts_report", c.name, text_of(got),
			     text_of(c.expected));
	}
	// The first line, exactly.
	const std::string line = line_with(" ", " ");
	const struct {
		const char *name;
		std::string output;
	} first_lines[] = {
	    {"no first line", line},
	    {"one p in loopp", "Entered the loop\n" + line},
	    {"a terminal's first line", "Entered the loopp\r\n" + line},
	    {"both on one line", "Entered the loopp " + line},
	};
	for (const auto &c : first_lines)
		if (parts_report(c.output))
			fail("parts_report", c.name,
			     text_of(parts_report(c.output)), "none");
}

struct VerdictCase {
	const char *name;
	int wait_status;
	std::string err;
	std::string failure;
	std::string expected;
};

// clang-format off
const VerdictCase verdict_cases[] = {
    {"exited 0, quiet",          W_EXITCODE(0, 0),  "",        "", ""},
    {"exited 3",                 W_EXITCODE(3, 0),  "",        "", "exited with status 3"},
    {"exited 255",               W_EXITCODE(255, 0), "",       "", "exited with status 255"},
    {"killed by SIGTERM",        W_EXITCODE(0, SIGTERM), "",   "", "killed by signal 15 (SIGTERM)"},
    {"killed by SIGKILL, said x", W_EXITCODE(0, SIGKILL), "x", "",
     "killed by signal 9 (SIGKILL), and wrote to standard error: \"x\""},
    {"exited 1, said oops",      W_EXITCODE(1, 0),  "oops\n",  "",
     "exited with status 1, and wrote to standard error: \"oops\\n\""},
    {"exited 0, said oops",      W_EXITCODE(0, 0),  "oops\n",  "",
     "wrote to standard error: \"oops\\n\""},
    {"stopped by the bench",     W_EXITCODE(0, SIGKILL), "",   "timed out after 1 s",
     "timed out after 1 s"},
};
// clang-format on

void test_what_went_wrong()
{
	for (const VerdictCase &c : verdict_cases) {
		Outcome outcome;
		outcome.wait_status = c.wait_status;
		outcome.err = c.err;
		outcome.failure = c.failure;
		const std::string got = what_went_wrong(outcome);
		if (got != c.expected)
			fail("what_went_wrong", c.name, quoted(got),
			     quoted(c.expected));
	}
}

struct QuotedCase {
	const char *name;
	std::string bytes;
	std::size_t most;
	std::string expected;
};

// clang-format off
const QuotedCase quoted_cases[] = {
    {"plain text",             "abc",                     120, "\"abc\""},
    {"nothing",                "",                        120, "\"\""},
    {"C's escapes",            "\n\r\t\"\\",              120, "\"\\n\\r\\t\\\"\\\\\""},
    {"control bytes",          std::string("\x01\x1f\x7f", 3), 120,
     "\"\\x01\\x1f\\x7f\""},
    {"a NUL byte",             std::string("a\0b", 3),    120, "\"a\\x00b\""},
    {"non-ASCII bytes",        "\xc3\xa9",                120, "\"\\xc3\\xa9\""},
    {"space and tilde",        " ~",                      120, "\" ~\""},
    {"exactly the most",       "abc",                     3,   "\"abc\""},
    {"one past the most",      "abcd",                    3,   "\"abc\"..."},
};
// clang-format on

void test_quoted()
{
	for (const QuotedCase &c : quoted_cases) {
		const std::string got = quoted(c.bytes, c.most);
		if (got != c.expected)
			fail("quoted", c.name, got, c.expected);
	}
	if (error_text(ENOENT) != "No such file or directory")
		fail("error_text", "ENOENT", error_text(ENOENT),
		     "No such file or directory");
	if (seconds_text(0.5) != "0.5 s")
		fail("seconds_text", "half a second", seconds_text(0.5),
		     "0.5 s");
}

} // namespace

int main()
{
	test_parse_count();
	test_program_ticks();
	test_helper_ticks();
	test_parts_report();
	test_what_went_wrong();
	test_quoted();
	if (failures > 0) {
		(void)std::printf("%d failed\n", failures);
		return 1;
	}
	return 0;
}
