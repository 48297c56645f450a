// The answer a run ends with: what a cold and a warm thread start, the
// first line and the whole program cost here, each the median of the
// repetitions with a distribution-free 95 % interval, and what each lever
// changes, in percent of its base row's median, with its verdict.
//
// A median's interval is a pair of order statistics: with B ~ Binomial(n,
// 1/2) the number of values below the true median, values l and n + 1 - l
// of the sorted n cover it with probability 1 - 2 P(B <= l - 1), whatever
// the distribution (exactly so for a continuous one, at least so with
// ties). Two medians together (a difference, a lever's change) take each
// at 97.5 %, so that both hold at once with at least 95 %. The levers'
// intervals are one family: of k levers each at 1 - 5 % / k, so that all
// hold at once with at least 95 % (Bonferroni), and the chance of any
// false "differs" among them is at most 5 %.
#pragma once

#include "rows.hpp"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct Interval {
	double low = 0;
	double high = 0;
};

// The chance each tail of an interval may miss: one median at 95 %, and
// each of two at 97.5 %.
constexpr double one_median_tail = 0.025;
constexpr double two_medians_tail = 0.0125;

// The largest rank l with P(B <= l - 1) <= `tail`, B ~ Binomial(n, 1/2):
// values l and n + 1 - l of n sorted ones bound the median's interval.
// 0 where n is too few for one (n < 6 at 95 %, n < 7 at 97.5 %).
[[nodiscard]] std::size_t median_rank(std::size_t n, double tail);

// The median of `values`: the middle one, or the mean of the middle two.
[[nodiscard]] double median_of(std::vector<double> values);

// The interval of the median of `values`, or none if they are too few.
[[nodiscard]] std::optional<Interval>
median_interval(std::vector<double> values, double tail = one_median_tail);

// The interval of median(a) - median(b), each median's at 1 - 2 `tail`
// (97.5 %): [low a - high b, high a - low b]; none if either has too few
// values.
[[nodiscard]] std::optional<Interval>
difference_interval(const std::vector<double> &a, const std::vector<double> &b,
                    double tail = two_medians_tail);

// Why a change in percent has no interval.
enum class NoInterval : unsigned char {
	none,         // it has one
	too_few,      // too few repetitions of either row
	base_reaches, // the base's interval reaches 0 or below: no bound
};

struct Change {
	std::optional<Interval> interval; // in percent
	NoInterval why = NoInterval::none;
};

// The interval of (median(a) / median(b) - 1) * 100, from each median's
// at 1 - 2 `tail` (97.5 %): the least and greatest ratio of their ends.
[[nodiscard]] Change change_interval(const std::vector<double> &a,
                                     const std::vector<double> &base,
                                     double tail = two_medians_tail);
// The same, each median's interval at a tail of its own.
[[nodiscard]] Change change_interval(const std::vector<double> &a,
                                     const std::vector<double> &base,
                                     double tail_a, double tail_base);

// Each row's repetitions by counter: ROW -> COUNTER -> values, the wall
// time of each repetition under "wall" in microseconds.
using Samples =
    std::map<std::string, std::map<std::string, std::vector<double>>>;

extern const char *const wall_counter;

// One figure or lever of the answer: its value and interval, or why it has
// none ("not measured", "too few repetitions"...).
struct Reading {
	std::optional<double> value;
	std::optional<Interval> interval;
	std::string missing; // "" where both are there
};

struct Figure {
	std::string name;
	std::string unit;
	Reading reading;
};

struct Lever {
	std::string row;
	std::string base;
	std::string counter;
	Reading reading;     // in percent of the base's median
	std::string verdict; // "differs", "no change shown" or ""
};

struct Answer {
	std::vector<Figure> figures;
	std::vector<Lever> levers;
};

// The answer from `samples`, its levers those of `rows` whose own row was
// measured: on ticks, and on their counter too where it is another; the
// levers' intervals one family. Each interval of a row named in `shares`
// spends only that share of its error (see precision.hpp); of the others,
// all of it.
[[nodiscard]] Answer
answer_of(const Samples &samples, const std::vector<Row> &rows,
          const std::map<std::string, double> &shares = {});

// The answer as the console shows it, a line each: a title, the figures,
// the levers, then `noise` (a line saying why the figures may be off, if
// not "") and `closing` (lines of their own, each ending in '\n').
[[nodiscard]] std::string answer_text(const Answer &answer, int repetitions,
                                      const std::string &noise,
                                      const std::string &closing);
// The same, the repetitions a row given as text ("40 to 320").
[[nodiscard]] std::string answer_text(const Answer &answer,
                                      const std::string &repetitions,
                                      const std::string &noise,
                                      const std::string &closing);
