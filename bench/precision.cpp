#include "precision.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

double spent_share(int look)
{
	return 3.0 / ((look + 2.0) * (look + 3.0));
}

long next_total(long total)
{
	return total + (total + 1) / 2;
}

std::optional<double> precision_of(const Reading &reading)
{
	if (!reading.value || !reading.interval)
		return std::nullopt;
	const double value = *reading.value;
	const double farther = std::max(value - reading.interval->low,
	                                reading.interval->high - value);
	if (value == 0)
		return farther == 0 ? std::optional<double>(0) : std::nullopt;
	return farther / std::fabs(value) * 100;
}

std::vector<Aim> aims_of(const Samples &samples, const std::vector<Row> &chosen,
                         const std::map<std::string, double> &shares)
{
	const auto measured = [&chosen](const std::string &name) {
		return std::any_of(
		    chosen.begin(), chosen.end(),
		    [&name](const Row &row) { return row.name == name; });
	};
	const Answer answer = answer_of(samples, {}, shares);
	// The answer's first four figures and the rows each is measured from.
	const std::vector<std::vector<std::string>> figure_rows = {
	    {"cold_thread_start"},
	    {"warm_create_join"},
	    {"program_run/pipe", "cold_thread_start"},
	    {"program_run/pipe"}};
	std::vector<Aim> aims;
	std::vector<std::string> in_figures;
	for (std::size_t i = 0; i < figure_rows.size(); ++i) {
		const auto &rows = figure_rows[i];
		if (!std::all_of(rows.begin(), rows.end(), measured))
			continue;
		aims.push_back({answer.figures.at(i).name, rows,
		                precision_of(answer.figures.at(i).reading),
		                true});
		in_figures.insert(in_figures.end(), rows.begin(), rows.end());
	}
	for (const Row &row : chosen) {
		if (std::find(in_figures.begin(), in_figures.end(), row.name) !=
		    in_figures.end())
			continue;
		std::optional<double> reached;
		const auto found = samples.find(row.name);
		if (found != samples.end() &&
		    found->second.count("ticks") > 0) {
			const std::vector<double> &ticks =
			    found->second.at("ticks");
			const auto share = shares.find(row.name);
			const std::optional<Interval> interval =
			    median_interval(ticks, one_median_tail *
			                               (share != shares.end()
			                                    ? share->second
			                                    : 1));
			reached =
			    precision_of({median_of(ticks), interval, ""});
		}
		aims.push_back({row.name, {row.name}, reached, false});
	}
	return aims;
}

std::vector<Row> still_needed(const std::vector<Row> &chosen,
                              const std::vector<Aim> &aims, double percent)
{
	std::vector<Row> needed;
	std::copy_if(
	    chosen.begin(), chosen.end(), std::back_inserter(needed),
	    [&](const Row &row) {
		    return std::any_of(
		        aims.begin(), aims.end(), [&](const Aim &aim) {
			        const bool short_of =
			            !aim.reached || *aim.reached > percent;
			        return short_of &&
			               std::find(aim.rows.begin(),
			                         aim.rows.end(),
			                         row.name) != aim.rows.end();
		        });
	    });
	return needed;
}
