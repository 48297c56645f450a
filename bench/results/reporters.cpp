#include "results/reporters.hpp"

#include "progress.hpp"
#include "results/json_reporter.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

Reporters::Reporters(std::unique_ptr<BenchmarkReporter> console,
                     std::unique_ptr<BenchmarkReporter> file,
                     std::vector<std::string> order,
                     std::vector<std::string> expected)
    : console_(std::move(console)), file_(std::move(file)),
      order_(std::move(order)), expected_(std::move(expected))
{
}

bool Reporters::ReportContext(const Context &context)
{
	reported_ = true;
	const bool console = console_->ReportContext(context);
	check_console();
	return (file_ == nullptr || file_->ReportContext(context)) && console;
}

void Reporters::ReportRuns(const std::vector<Run> &report)
{
	if (report.empty())
		return;
	if (file_ != nullptr)
		file_->ReportRuns(report);
	// The library reports a row's repetitions, then its statistics.
	if (report.front().run_type != Run::RT_Aggregate)
		return;
	finished_[report.front().run_name.function_name] = report;
	show(false);
}

void Reporters::show(bool all)
{
	for (; next_ < order_.size(); ++next_) {
		const std::string &row = order_[next_];
		const auto found = finished_.find(row);
		const bool expected =
		    std::find(expected_.begin(), expected_.end(), row) !=
		    expected_.end();
		if (found == finished_.end()) {
			if (expected && !all)
				return;
			continue;
		}
		progress().clear();
		console_->ReportRuns(found->second);
		check_console();
		finished_.erase(found);
	}
}

void Reporters::Finalize()
{
	if (noise_judge_)
		noise_ = noise_judge_();
	show(true);
	progress().clear();
	console_->Finalize();
	check_console();
	if (file_ != nullptr)
		file_->Finalize();
}

void Reporters::check_console()
{
	if (console_error_ == 0 && std::ferror(stdout) != 0)
		console_error_ = errno != 0 ? errno : EIO;
}

std::unique_ptr<benchmark::BenchmarkReporter>
make_reporter(const std::string &format, bool color)
{
	if (format == "console")
		return std::make_unique<benchmark::ConsoleReporter>(
		    color ? benchmark::ConsoleReporter::OO_Color
		          : benchmark::ConsoleReporter::OO_None);
	if (format == "json")
		return std::make_unique<JsonReporter>();
	return nullptr;
}
