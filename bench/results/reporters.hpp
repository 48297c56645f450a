// Passes the library's results on to the console and to the results file:
// every repetition to the file, as it comes; the statistics to the console,
// row by row in the bench's own order, whatever order the rows finished in.
// It keeps the repetitions' values that the answer is made of.
#pragma once

#include "answer.hpp"

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

class Reporters : public benchmark::BenchmarkReporter
{
public:
	// `order` names the rows as the console shows them; `expected` the
	// ones this run will report; `kept` the counters the answer reads.
	// `console` may be null: no table; its lines are cut to `columns`
	// unless 0. `file` may be null.
	Reporters(std::unique_ptr<BenchmarkReporter> console,
	          std::size_t columns, std::unique_ptr<BenchmarkReporter> file,
	          std::vector<std::string> order,
	          std::vector<std::string> expected,
	          std::vector<std::string> kept);

	bool ReportContext(const Context &context) override;
	void ReportRuns(const std::vector<Run> &report) override;
	void Finalize() override;
	// Whether anything was reported: not so when the library only
	// listed the rows.
	bool reported() const { return reported_; }
	// The error of the first write to standard output that failed, or 0.
	int console_error() const { return console_error_; }
	// Each row's repetitions, by counter and wall time.
	const Samples &samples() const { return samples_; }
	// Called once, first thing in Finalize, before the results file is
	// finished: "" for a quiet run, else why it was disturbed, the
	// reasons joined by "; ".
	void set_noise_judge(std::function<std::string()> judge);
	// What the judge said, "" without one.
	const std::string &noise() const { return noise_; }
	// Runs in rounds (--precision): the library runs the rows once a
	// round, each time with its context and its end. Held, the context
	// goes on once, and every repetition only at end_rounds(): a row's
	// repetitions of every round together under one name, numbered on,
	// without any round's statistics.
	void hold_rounds() { holding_ = true; }
	void end_rounds();

private:
	// Shows the finished rows that no earlier row is still holding up;
	// with `all`, every finished row.
	void show(bool all);
	// Writes what the console reporter wrote since, cut to the columns.
	void pass_console();
	// Notes a failed write to standard output; its error number is lost
	// once the stream is closed.
	void check_console();

	std::unique_ptr<BenchmarkReporter> console_;
	std::size_t columns_;
	std::ostringstream console_text_;
	std::unique_ptr<BenchmarkReporter> file_;
	std::vector<std::string> order_;
	std::vector<std::string> expected_;
	std::vector<std::string> kept_;
	bool reported_ = false;
	int console_error_ = 0;
	std::size_t next_ = 0; // the first row of order_ not yet shown
	std::map<std::string, std::vector<Run>> finished_;
	Samples samples_;
	std::function<std::string()> judge_;
	std::string noise_;
	bool holding_ = false;
	bool ending_ = false;
	bool context_passed_ = false;
	std::map<std::string, std::vector<Run>> held_;
};

// A reporter of Google Benchmark's for the format named ("console" or
// "json"), or null if there is none of that name.
std::unique_ptr<benchmark::BenchmarkReporter>
make_reporter(const std::string &format, bool color);

// The columns of the terminal standard output is on; else $COLUMNS; else 80.
std::size_t console_columns();
