#include "results/json_reporter.hpp"

#include "text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>

namespace
{

// Whether a run of Google Benchmark 1.7 has `error_occurred`; 1.8 replaced
// it with `skipped`, an enumeration whose zero is NotSkipped.
template <typename Run, typename = void>
struct has_error_occurred : std::false_type {
};
template <typename Run>
struct has_error_occurred<
    Run, std::void_t<decltype(std::declval<const Run &>().error_occurred)>>
    : std::true_type {
};

// Whether the run was skipped or failed, whichever the library's version.
template <typename Run> bool skipped(const Run &run)
{
	if constexpr (has_error_occurred<Run>::value)
		return run.error_occurred;
	else
		return run.skipped != decltype(run.skipped){};
}

// Whether `text` goes into JSON as it is, without escapes.
bool plain(const std::string &text)
{
	return std::all_of(text.begin(), text.end(), [](char c) {
		return c != '"' && c != '\\' &&
		       static_cast<unsigned char>(c) >= 0x20;
	});
}

// Whether the library would write `run`, named `name`, with exactly the
// fields that `append_repetition` writes.
bool ordinary(const benchmark::BenchmarkReporter::Run &run,
              const std::string &name)
{
	if (run.run_type != benchmark::BenchmarkReporter::Run::RT_Iteration ||
	    skipped(run) || !run.report_label.empty() || run.report_big_o ||
	    run.report_rms || run.memory_result != nullptr || !plain(name))
		return false;
	for (const auto &[counter_name, counter] : run.counters)
		if (!plain(counter_name) || !std::isfinite(counter.value))
			return false;
	return std::isfinite(run.GetAdjustedRealTime()) &&
	       std::isfinite(run.GetAdjustedCPUTime());
}

void append_key(std::string &out, const char *key)
{
	out += ",\n      \"";
	out += key;
	out += "\": ";
}

// A number as the library writes it: every digit a double holds, in
// scientific notation, as printf's %.16e has it.
void append_number(std::string &out, const char *key, double value)
{
	append_key(out, key);
	std::array<char, 32> text{};
	const auto written =
	    std::to_chars(text.data(), text.data() + text.size(), value,
	                  std::chars_format::scientific, 16);
	out.append(text.data(), written.ptr);
}

void append_integer(std::string &out, const char *key, std::int64_t value)
{
	append_key(out, key);
	std::array<char, 24> text{};
	const auto written =
	    std::to_chars(text.data(), text.data() + text.size(), value);
	out.append(text.data(), written.ptr);
}

void append_text(std::string &out, const char *key, const std::string &value)
{
	append_key(out, key);
	out += '"';
	out += value;
	out += '"';
}

// One repetition, named `name`, as the library's JSON reporter writes it.
// A repetition's name and its run's name are the same.
void append_repetition(std::string &out,
                       const benchmark::BenchmarkReporter::Run &run,
                       const std::string &name)
{
	out += "    {\n      \"name\": \"";
	out += name;
	out += '"';
	append_integer(out, "family_index", run.family_index);
	append_integer(out, "per_family_instance_index",
	               run.per_family_instance_index);
	append_text(out, "run_name", name);
	append_text(out, "run_type", "iteration");
	append_integer(out, "repetitions", run.repetitions);
	append_integer(out, "repetition_index", run.repetition_index);
	append_integer(out, "threads", run.threads);
	append_integer(out, "iterations", run.iterations);
	append_number(out, "real_time", run.GetAdjustedRealTime());
	append_number(out, "cpu_time", run.GetAdjustedCPUTime());
	append_text(out, "time_unit",
	            benchmark::GetTimeUnitString(run.time_unit));
	for (const auto &[counter_name, counter] : run.counters)
		append_number(out, counter_name.c_str(), counter.value);
	out += "\n    }";
}

// The library's JSON `text` made valid JSON in UTF-8 whatever its strings
// held. The library escapes only some control characters; the others are
// written as \u00XX. A byte that is not part of valid UTF-8, as a host
// name or a path may hold, is shown as the four characters \xHH. A raw
// newline is the library's own, between lines: one in a string is escaped.
std::string valid_json(const std::string &text)
{
	std::string out;
	out.reserve(text.size());
	for (std::size_t at = 0; at < text.size();) {
		const auto byte = static_cast<unsigned char>(text[at]);
		const std::size_t length = utf8_sequence(text, at);
		if (length > 0 && (byte >= 0x20 || byte == '\n')) {
			out.append(text, at, length);
			at += length;
			continue;
		}
		std::array<char, 8> escape{};
		(void)std::snprintf(escape.data(), escape.size(),
		                    length > 0 ? "\\u%04x" : "\\\\x%02x", byte);
		out += escape.data();
		++at;
	}
	return out;
}

} // namespace

JsonReporter::JsonReporter()
{
	library_.SetOutputStream(&library_text_);
	library_.SetErrorStream(&library_text_);
}

void JsonReporter::pass_on()
{
	const std::string text = valid_json(library_text_.str());
	library_text_.str("");
	GetOutputStream().write(text.data(),
	                        static_cast<std::streamsize>(text.size()));
}

bool JsonReporter::ReportContext(const Context &context)
{
	context_.emplace(context);
	const bool reported = library_.ReportContext(context);
	start_context_ = library_text_.str();
	library_text_.str("");
	return reported;
}

void JsonReporter::ReportRuns(const std::vector<Run> &report)
{
	for (const Run &run : report) {
		if (!first_)
			runs_ += ",\n";
		first_ = false;
		const std::string name = run.benchmark_name();
		if (name == run.run_name.str() && ordinary(run, name)) {
			append_repetition(runs_, run, name);
		} else {
			library_.ReportRuns({run});
			std::string written = valid_json(library_text_.str());
			library_text_.str("");
			// After its first report the library puts its own
			// separator first; the separator here is this one's.
			if (written.compare(0, 2, ",\n") == 0)
				written.erase(0, 2);
			runs_ += written;
		}
	}
}

void JsonReporter::Finalize()
{
	if (context_) {
		// The context again, with the entries added since, and the
		// start's date.
		(void)library_.ReportContext(*context_);
		std::string context = library_text_.str();
		library_text_.str("");
		const std::string date = "\"date\": ";
		const std::size_t old_date = start_context_.find(date);
		const std::size_t new_date = context.find(date);
		if (old_date != std::string::npos &&
		    new_date != std::string::npos)
			context.replace(
			    new_date, context.find('\n', new_date) - new_date,
			    start_context_, old_date,
			    start_context_.find('\n', old_date) - old_date);
		library_text_ << context;
		pass_on();
	}
	GetOutputStream().write(runs_.data(),
	                        static_cast<std::streamsize>(runs_.size()));
	runs_.clear();
	runs_.shrink_to_fit();
	library_.Finalize();
	pass_on();
}
