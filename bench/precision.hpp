// Runs that stop when the answer is precise enough (--precision): the rows
// run in rounds, the first of a set number of repetitions, each later one
// adding half as many again to every row still running (20, 30, 45, 68...,
// rounded up). After each round
// every figure's interval is looked at, and a row stops once each figure
// it is part of is within ±P % of its median (a row that is part of no
// figure, once its own median of ticks is).
//
// Looking after every round would make a fixed 95 % interval miss more
// often than 5 %: each look is another chance to stop on a lucky one. So
// the error is spent over the looks: a row's j-th look may miss with
// 3 / ((j + 2) (j + 3)) of it, and these sum to the whole over every look
// (a union bound). The repetitions at each look are fixed in advance, so
// each look's interval is the usual exact one of that many
// values; together they hold at every round with at least 95 %, whenever
// the bench stops.
#pragma once

#include "answer.hpp"
#include "rows.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

// The share of its error the interval of a row's `look`-th look (from 1)
// may spend: 3 / ((look + 2) (look + 3)). Flatter than 6 / (pi^2 look^2),
// it leaves more to the later looks, where the hard figures stop.
[[nodiscard]] double spent_share(int look);

// A row's repetitions after the round that follows `total`: half as many
// again, rounded up.
[[nodiscard]] long next_total(long total);

// The farther end of `reading`'s interval from its value, in percent of
// the value; none without an interval, or with a value of 0 and an
// interval wider than it.
[[nodiscard]] std::optional<double> precision_of(const Reading &reading);

// One thing --precision aims at: a figure of the answer, or a row outside
// them, the rows it is measured from, and the precision it reached.
struct Aim {
	std::string name;
	std::vector<std::string> rows;
	std::optional<double> reached; // in %, none while it has no interval
	bool figure = false;           // one of the answer's, not a row
};

// What --precision aims at among `chosen`, the rows measured: the answer's
// cold and warm thread start, first line and program's span where their
// rows are all measured, then every other row's own median of ticks; with
// the precision each reached, every row's intervals at its share.
[[nodiscard]] std::vector<Aim>
aims_of(const Samples &samples, const std::vector<Row> &chosen,
        const std::map<std::string, double> &shares);

// The rows of `chosen` still needed after the aims reached what they did:
// those in an aim short of `percent`.
[[nodiscard]] std::vector<Row> still_needed(const std::vector<Row> &chosen,
                                            const std::vector<Aim> &aims,
                                            double percent);
