// The judging of noise and the system check's findings, from what was read.

#include "noise.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace
{

// A number with two decimals or, with `one`, one.
std::string format(double value, bool one = false)
{
	std::array<char, 64> text{};
	(void)std::snprintf(text.data(), text.size(), one ? "%.1f" : "%.2f",
	                    value);
	return text.data();
}

std::string percent(double value)
{
	return format(value, true) + " %";
}

std::string cpus_text(int cpus)
{
	return std::to_string(cpus) + (cpus == 1 ? " CPU" : " CPUs");
}

// The word for a list of CPUs: "CPU 3" or "CPUs 0-1".
std::string cpus_named(const std::set<int> &cpus)
{
	return (cpus.size() == 1 ? "CPU " : "CPUs ") + cpu_list(cpus);
}

bool above_load(const std::optional<double> &load, int cpus)
{
	return load && cpus > 0 && *load > cpus;
}

} // namespace

std::string joined(const std::vector<std::string> &words,
                   const std::string &between)
{
	std::string text;
	for (const std::string &word : words)
		text += (text.empty() ? "" : between) + word;
	return text;
}

std::string cpu_list(const std::set<int> &cpus)
{
	std::string text;
	for (auto at = cpus.begin(); at != cpus.end();) {
		const int first = *at;
		int last = first;
		while (++at != cpus.end() && *at == last + 1)
			++last;
		text += (text.empty() ? "" : ",") + std::to_string(first);
		if (last != first)
			text += "-" + std::to_string(last);
	}
	return text;
}

std::set<int> parse_cpu_list(const std::string &text)
{
	std::set<int> cpus;
	const char *at = text.c_str();
	while (*at != '\0') {
		char *end = nullptr;
		const long first = std::strtol(at, &end, 10);
		if (end == at || first < 0 || first > 65535)
			break;
		long last = first;
		if (*end == '-') {
			at = end + 1;
			last = std::strtol(at, &end, 10);
			if (end == at || last < first || last > 65535)
				break;
		}
		for (long cpu = first; cpu <= last; ++cpu)
			cpus.insert(static_cast<int>(cpu));
		at = *end == ',' ? end + 1 : end;
		if (*end != ',')
			break;
	}
	return cpus;
}

Figures figures(const Sample &start, const Sample &end, int cpus,
                long ticks_per_second)
{
	Figures got;
	got.cpus = cpus;
	got.load_before = start.load;
	got.load_after = end.load;
	CpuTimes delta;
	bool any = false;
	for (const auto &[cpu, before] : start.cpus) {
		const auto after = end.cpus.find(cpu);
		if (after == end.cpus.end())
			continue;
		any = true;
		delta.busy += after->second.busy - before.busy;
		delta.idle += after->second.idle - before.idle;
		delta.steal += after->second.steal - before.steal;
	}
	const long long total = delta.busy + delta.idle + delta.steal;
	if (!any || total <= 0 || ticks_per_second <= 0)
		return got;
	const double own = (end.own_seconds - start.own_seconds) *
	                   static_cast<double>(ticks_per_second);
	const double others =
	    std::max(0.0, static_cast<double>(delta.busy) - own);
	got.others_percent = 100 * others / static_cast<double>(total);
	got.others_seconds = others / static_cast<double>(ticks_per_second);
	got.steal_percent = 100 *
	                    static_cast<double>(std::max(0LL, delta.steal)) /
	                    static_cast<double>(total);
	return got;
}

std::vector<std::string> judge(const Figures &figures)
{
	std::vector<std::string> reasons;
	if (figures.others_percent &&
	    *figures.others_percent > most_others_percent &&
	    figures.others_seconds > least_others_seconds)
		reasons.push_back("other processes used " +
		                  percent(*figures.others_percent) +
		                  " of the bench's CPUs (above " +
		                  percent(most_others_percent) + ")");
	if (figures.steal_percent &&
	    *figures.steal_percent > most_steal_percent)
		reasons.push_back("steal time took " +
		                  percent(*figures.steal_percent) +
		                  " of the bench's CPUs (above " +
		                  percent(most_steal_percent) + ")");
	const bool before = above_load(figures.load_before, figures.cpus);
	const bool after = above_load(figures.load_after, figures.cpus);
	if (before || after) {
		std::vector<std::string> loads;
		if (before)
			loads.push_back(format(*figures.load_before) +
			                " before");
		if (after)
			loads.push_back(format(*figures.load_after) + " after");
		reasons.push_back("load average " + joined(loads, " and ") +
		                  " the run (above the bench's " +
		                  cpus_text(figures.cpus) + ")");
	}
	return reasons;
}

std::vector<std::string> noise_entry_names()
{
	return {
	    "noise",         "load_avg_before", "load_avg_after", "others_cpu",
	    "steal",         "cpu_governor",    "cpu_boost",      "smt",
	    "isolated_cpus", "nohz_full"};
}

std::vector<std::pair<std::string, std::string>>
noise_entries(const Figures &figures, const Settings &settings)
{
	const std::vector<std::string> reasons = judge(figures);
	const auto load = [](const std::optional<double> &value) {
		return value ? format(*value) : "unknown";
	};
	return {
	    {"noise",
	     reasons.empty() ? "quiet" : "disturbed: " + joined(reasons, "; ")},
	    {"load_avg_before", load(figures.load_before)},
	    {"load_avg_after", load(figures.load_after)},
	    {"others_cpu", figures.others_percent
	                       ? percent(*figures.others_percent) + " (" +
	                             format(figures.others_seconds) + " s)"
	                       : "unknown"},
	    {"steal", figures.steal_percent ? percent(*figures.steal_percent)
	                                    : "unknown"},
	    {"cpu_governor", settings.governor},
	    {"cpu_boost", settings.boost},
	    {"smt", settings.smt},
	    {"isolated_cpus", settings.isolated},
	    {"nohz_full", settings.nohz_full},
	};
}

std::vector<Finding>
findings(const Settings &settings, const Figures &figures,
         const std::vector<std::pair<int, std::pair<std::string, double>>>
             &consumers,
         const std::set<int> &cpus)
{
	std::vector<Finding> found;
	const std::string named = cpus_named(cpus);
	if (!settings.slow_governor.empty()) {
		const std::set<int> slow(settings.slow_governor.begin(),
		                         settings.slow_governor.end());
		std::string each;
		for (const int cpu : slow)
			each += (each.empty() ? "" : " ") + std::to_string(cpu);
		found.push_back(
		    {"governor: " + settings.governor +
		         ": the clock speed follows the load, and the bench's "
		         "short runs meet it low",
		     {"cpupower -c " + cpu_list(slow) +
		          " frequency-set -g performance",
		      "for cpu in " + each +
		          "; do echo performance > "
		          "/sys/devices/system/cpu/cpu$cpu/cpufreq/"
		          "scaling_governor; done"}});
	}
	if (settings.boost == "on")
		found.push_back(
		    {"boost: on: the clock speed rises and falls with the "
		     "temperature and with the load on other cores",
		     {settings.boost_switch == "intel_pstate"
		          ? "echo 1 > /sys/devices/system/cpu/intel_pstate/"
		            "no_turbo"
		          : "echo 0 > /sys/devices/system/cpu/cpufreq/boost"}});
	if (settings.smt.compare(0, 2, "on") == 0) {
		const std::set<int> one(settings.one_per_core.begin(),
		                        settings.one_per_core.end());
		found.push_back(
		    {"SMT: " + settings.smt +
		         ": work on a sibling slows the bench's CPU, unseen",
		     {"echo off > /sys/devices/system/cpu/smt/control",
		      "taskset -c " + cpu_list(one) +
		          " thread-start-bench ...   (one CPU of each core, "
		          "their siblings left idle)"}});
	}
	if (figures.steal_percent &&
	    *figures.steal_percent > most_steal_percent)
		found.push_back(
		    {"steal: the hypervisor gave " +
		         percent(*figures.steal_percent) + " of " + named +
		         " to other guests",
		     {"run on dedicated cores: a virtual machine whose "
		      "vCPUs are pinned, not shared, or bare metal"}});
	if (figures.others_percent &&
	    *figures.others_percent > most_others_percent &&
	    figures.others_seconds > least_others_seconds) {
		Finding busy{"busy: other processes used " +
		                 percent(*figures.others_percent) + " of " +
		                 named,
		             {}};
		std::string pids;
		for (const auto &[pid, use] : consumers) {
			busy.what += "\n    " + std::to_string(pid) + " " +
			             use.first + ": " + percent(use.second) +
			             " of a CPU";
			pids += " " + std::to_string(pid);
		}
		if (!pids.empty())
			busy.fixes.push_back(
			    "kill" + pids + "   (or wait until they are done)");
		busy.fixes.push_back("taskset -c CPUS thread-start-bench ...   "
		                     "(CPUs that nothing else uses)");
		found.push_back(busy);
	}
	if (above_load(figures.load_after, figures.cpus))
		found.push_back(
		    {"load: the 1-minute load average is " +
		         format(*figures.load_after) + ", above the bench's " +
		         cpus_text(figures.cpus) + ": processes wait to run",
		     {"uptime   (run the bench once it shows a load "
		      "below " +
		      std::to_string(figures.cpus) + ")"}});
	const std::set<int> isolated = parse_cpu_list(settings.isolated);
	const int spare = cpus.empty() ? 1 : *cpus.rbegin();
	if (settings.isolated == "none")
		found.push_back(
		    {"isolation: no CPU is isolated: any process may run on " +
		         named,
		     {"isolcpus=" + std::to_string(spare) +
		          " nohz_full=" + std::to_string(spare) +
		          "   (on the kernel command line: GRUB_CMDLINE_LINUX "
		          "in /etc/default/grub, then update-grub and reboot)",
		      "taskset -c " + std::to_string(spare) +
		          " thread-start-bench ...   (then, on that CPU)"},
		     true});
	else if (!isolated.empty() &&
	         !std::includes(isolated.begin(), isolated.end(), cpus.begin(),
	                        cpus.end()))
		found.push_back({"isolation: " + named +
		                     " are not all among the isolated CPUs " +
		                     settings.isolated,
		                 {"taskset -c " + settings.isolated +
		                  " thread-start-bench ..."},
		                 true});
	return found;
}
