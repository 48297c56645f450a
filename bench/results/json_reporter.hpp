// Google Benchmark's JSON format, written faster. A row's repetitions,
// thousands of them in a run, are formatted here with one snprintf each;
// the context, the statistics and any repetition out of the ordinary are
// the library's own reporter's text, with what the library would leave
// invalid (a control character, a byte not of UTF-8) escaped. Otherwise
// the file is the same byte for byte.
//
// The context is written last of all, ahead of the repetitions held until
// then, so that it can hold entries known only at the end (the noise
// during the run); its date stays the start's.
#pragma once

#include <benchmark/benchmark.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

class JsonReporter : public benchmark::BenchmarkReporter
{
public:
	JsonReporter();
	bool ReportContext(const Context &context) override;
	void ReportRuns(const std::vector<Run> &report) override;
	void Finalize() override;

private:
	// Writes what the library's reporter wrote, and empties its stream.
	void pass_on();

	benchmark::JSONReporter library_;
	std::ostringstream library_text_;
	bool first_ = true;
	std::optional<Context> context_;
	std::string start_context_; // the context as it was at the start
	std::string runs_;          // the repetitions, until Finalize
};
