#include "results/reporters.hpp"

#include "progress.hpp"
#include "results/json_reporter.hpp"
#include "text.hpp"
#include "verdict.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

Reporters::Reporters(std::unique_ptr<BenchmarkReporter> console,
                     std::size_t columns,
                     std::unique_ptr<BenchmarkReporter> file,
                     std::vector<std::string> order,
                     std::vector<std::string> expected,
                     std::vector<std::string> kept)
    : console_(std::move(console)), columns_(columns), file_(std::move(file)),
      order_(std::move(order)), expected_(std::move(expected)),
      kept_(std::move(kept))
{
	if (console_ != nullptr && columns_ > 0)
		console_->SetOutputStream(&console_text_);
}

void Reporters::set_noise_judge(std::function<std::string()> judge)
{
	judge_ = std::move(judge);
}

bool Reporters::ReportContext(const Context &context)
{
	if (holding_ && context_passed_)
		return true;
	context_passed_ = true;
	reported_ = true;
	bool console = true;
	if (console_ != nullptr) {
		console = console_->ReportContext(context);
		pass_console();
	}
	return (file_ == nullptr || file_->ReportContext(context)) && console;
}

void Reporters::ReportRuns(const std::vector<Run> &report)
{
	if (report.empty())
		return;
	if (holding_ && report.front().run_type == Run::RT_Aggregate)
		return;
	if (holding_) {
		auto &held = held_[report.front().run_name.function_name];
		held.insert(held.end(), report.begin(), report.end());
	} else if (file_ != nullptr) {
		file_->ReportRuns(report);
	}
	// The library reports a row's repetitions, then its statistics.
	if (report.front().run_type != Run::RT_Aggregate) {
		for (const Run &run : report) {
			auto &row = samples_[run.run_name.function_name];
			for (const std::string &counter : kept_) {
				const auto found = run.counters.find(counter);
				if (found != run.counters.end())
					row[counter].push_back(found->second);
			}
			// In the row's unit, microseconds; per iteration.
			row[wall_counter].push_back(run.GetAdjustedRealTime());
		}
		return;
	}
	if (console_ == nullptr)
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
		pass_console();
		finished_.erase(found);
	}
}

void Reporters::end_rounds()
{
	for (const std::string &row : order_) {
		const auto found = held_.find(row);
		if (found == held_.end())
			continue;
		std::vector<Run> &runs = found->second;
		const auto count = static_cast<std::int64_t>(runs.size());
		for (std::int64_t i = 0; i < count; ++i) {
			Run &run = runs[static_cast<std::size_t>(i)];
			run.run_name.repetitions =
			    "repeats:" + std::to_string(count);
			run.repetitions = count;
			run.repetition_index = i;
			run.family_index = runs.front().family_index;
			run.per_family_instance_index =
			    runs.front().per_family_instance_index;
		}
		if (file_ != nullptr)
			file_->ReportRuns(runs);
		if (console_ != nullptr) {
			console_->ReportRuns(runs);
			pass_console();
		}
	}
	held_.clear();
	ending_ = true;
	Finalize();
}

void Reporters::Finalize()
{
	if (holding_ && !ending_)
		return;
	if (judge_)
		noise_ = judge_();
	if (console_ != nullptr) {
		show(true);
		progress().clear();
		console_->Finalize();
		pass_console();
	}
	if (file_ != nullptr)
		file_->Finalize();
}

void Reporters::pass_console()
{
	if (columns_ > 0) {
		// Ticks and the program's processor time first, then the parts.
		static const std::vector<std::string> first = [] {
			std::vector<std::string> names{
			    "ticks",      "process_cpu", "creator",
			    "new_thread", "first_line",  "rest"};
			names.insert(names.end(), part_count_names.begin(),
			             part_count_names.end());
			return names;
		}();
		std::istringstream lines(console_text_.str());
		console_text_.str("");
		for (std::string line; std::getline(lines, line);)
			std::cout << fit_counters(line, columns_, first)
			          << '\n';
		std::cout.flush();
	}
	check_console();
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

std::size_t console_columns()
{
	winsize size{};
	if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
		return size.ws_col;
	// NOLINTNEXTLINE(concurrency-mt-unsafe): nothing changes it
	const char *columns = std::getenv("COLUMNS");
	const std::optional<long> parsed =
	    parse_count(columns != nullptr ? columns : "");
	if (parsed && *parsed > 0 && *parsed <= 10000)
		return static_cast<std::size_t>(*parsed);
	return 80;
}
