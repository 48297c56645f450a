// The noise's figures and settings read from /proc and /sys, and the system
// check that prints them. A file that is missing or unreadable, as steal
// and cpufreq may be in a virtual machine or under qemu-user, leaves its
// figure unknown; it is never a failure.

#include "file_text.hpp"
#include "noise.hpp"

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

namespace
{

// The first line of a file, without its line end; "" if it cannot be read.
std::string first_line(const std::string &path)
{
	std::string text = file_text(path, 4096);
	text.erase(std::min(text.find('\n'), text.size()));
	return text;
}

double seconds(const timeval &time)
{
	return static_cast<double>(time.tv_sec) +
	       static_cast<double>(time.tv_usec) / 1e6;
}

double own_seconds()
{
	double total = 0;
	for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
		rusage usage{};
		if (getrusage(who, &usage) == 0)
			total +=
			    seconds(usage.ru_utime) + seconds(usage.ru_stime);
	}
	return total;
}

// The per-CPU lines of /proc/stat, "cpuN user nice system idle iowait irq
// softirq steal ...", for the CPUs in `cpus`.
std::map<int, CpuTimes> cpu_times(const std::string &text,
                                  const std::set<int> &cpus)
{
	std::map<int, CpuTimes> times;
	std::istringstream lines(text);
	for (std::string line; std::getline(lines, line);) {
		if (line.compare(0, 3, "cpu") != 0 ||
		    std::isdigit(static_cast<unsigned char>(line[3])) == 0)
			continue;
		std::istringstream fields(line.substr(3));
		int cpu = 0;
		std::vector<long long> t;
		fields >> cpu;
		for (long long ticks = 0; fields >> ticks;)
			t.push_back(ticks);
		if (t.size() < 4 || cpus.count(cpu) == 0)
			continue;
		t.resize(std::max<std::size_t>(t.size(), 8));
		times[cpu] = {t[0] + t[1] + t[2] + t[5] + t[6], t[3] + t[4],
		              t[7]};
	}
	return times;
}

// Every process's CPU time so far, from /proc/PID/stat.
std::map<int, ProcessTime> process_times(const std::string &proc)
{
	std::map<int, ProcessTime> times;
	const std::unique_ptr<DIR, int (*)(DIR *)> directory(
	    opendir(proc.c_str()), closedir);
	if (!directory)
		return times;
	// Its own stream, read by one thread.
	// NOLINTNEXTLINE(concurrency-mt-unsafe)
	while (const dirent *entry = readdir(directory.get())) {
		char *end = nullptr;
		const long pid = std::strtol(entry->d_name, &end, 10);
		if (*end != '\0' || pid <= 0)
			continue;
		const std::string stat =
		    first_line(proc + "/" + entry->d_name + "/stat");
		const std::size_t open = stat.find('(');
		const std::size_t close = stat.rfind(')');
		if (open == std::string::npos || close == std::string::npos ||
		    close < open)
			continue;
		// After the command: state, then utime and stime are the
		// 12th and 13th fields.
		std::istringstream fields(stat.substr(close + 1));
		std::string field;
		long long utime = 0;
		long long stime = 0;
		for (int i = 0; i < 11 && fields >> field; ++i) {
		}
		if (!(fields >> utime >> stime))
			continue;
		times[static_cast<int>(pid)] = {
		    stat.substr(open + 1, close - open - 1), utime + stime};
	}
	return times;
}

std::string cpu_path(const std::string &root, int cpu, const char *file)
{
	return root + "/sys/devices/system/cpu/cpu" + std::to_string(cpu) +
	       "/" + file;
}

// The kernel's list in `path`: "none" if empty, "unknown" if unreadable.
std::string kernel_list(const std::string &path)
{
	if (access(path.c_str(), R_OK) != 0)
		return "unknown";
	const std::string text = first_line(path);
	return text.empty() || text == "(null)" ? "none" : text;
}

void sleep_for(double seconds)
{
	timespec left{
	    static_cast<time_t>(seconds),
	    static_cast<long>(
	        (seconds - static_cast<double>(static_cast<time_t>(seconds))) *
	        1e9)};
	while (nanosleep(&left, &left) != 0 && errno == EINTR) {
	}
}

} // namespace

std::set<int> own_cpus()
{
	std::set<int> cpus;
	cpu_set_t set;
	CPU_ZERO(&set);
	if (sched_getaffinity(0, sizeof set, &set) == 0)
		for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
			if (CPU_ISSET(static_cast<std::size_t>(cpu), &set))
				cpus.insert(cpu);
	return cpus;
}

Sample take_sample(const std::string &root, const std::set<int> &cpus,
                   bool processes)
{
	Sample sample;
	const std::string loadavg = first_line(root + "/proc/loadavg");
	char *end = nullptr;
	const double load = std::strtod(loadavg.c_str(), &end);
	if (end != loadavg.c_str())
		sample.load = load;
	sample.cpus = cpu_times(file_text(root + "/proc/stat", 1 << 20), cpus);
	sample.own_seconds = own_seconds();
	if (processes)
		sample.processes = process_times(root + "/proc");
	return sample;
}

namespace
{

void read_governors(Settings &settings, const std::string &root,
                    const std::set<int> &cpus)
{
	std::map<std::string, std::set<int>> governors;
	for (const int cpu : cpus) {
		const std::string governor =
		    first_line(cpu_path(root, cpu, "cpufreq/scaling_governor"));
		if (!governor.empty())
			governors[governor].insert(cpu);
		if (!governor.empty() && governor != "performance")
			settings.slow_governor.push_back(cpu);
	}
	if (governors.size() == 1) {
		settings.governor = governors.begin()->first;
		return;
	}
	std::vector<std::string> each;
	each.reserve(governors.size());
	for (const auto &[governor, on] : governors)
		each.push_back(governor + " on " + cpu_list(on));
	if (!each.empty())
		settings.governor = joined(each, ", ");
}

void read_boost(Settings &settings, const std::string &system)
{
	const std::string boost = first_line(system + "cpufreq/boost");
	const std::string no_turbo =
	    first_line(system + "intel_pstate/no_turbo");
	if (boost == "0" || boost == "1") {
		settings.boost = boost == "1" ? "on" : "off";
		settings.boost_switch = "cpufreq";
	} else if (no_turbo == "0" || no_turbo == "1") {
		settings.boost = no_turbo == "0" ? "on" : "off";
		settings.boost_switch = "intel_pstate";
	}
}

void read_smt(Settings &settings, const std::string &root,
              const std::set<int> &cpus)
{
	std::set<std::set<int>> cores;
	std::set<int> one_per_core;
	for (const int cpu : cpus) {
		std::set<int> siblings = parse_cpu_list(first_line(
		    cpu_path(root, cpu, "topology/thread_siblings_list")));
		if (siblings.empty())
			continue;
		// The first of the core's CPUs that the bench may use.
		one_per_core.insert(*std::find_if(
		    siblings.begin(), siblings.end(),
		    [&cpus](int sibling) { return cpus.count(sibling) > 0; }));
		cores.insert(std::move(siblings));
	}
	settings.one_per_core.assign(one_per_core.begin(), one_per_core.end());
	std::vector<std::string> shared;
	for (const std::set<int> &core : cores)
		if (core.size() > 1)
			shared.push_back(cpu_list(core));
	const std::string active =
	    first_line(root + "/sys/devices/system/cpu/smt/active");
	if (!shared.empty())
		settings.smt = "on (siblings " + joined(shared, " ") + ")";
	else if (!cores.empty() || active == "0")
		settings.smt = "off";
	else if (active == "1")
		settings.smt = "on";
}

} // namespace

Settings read_settings(const std::string &root, const std::set<int> &cpus)
{
	Settings settings;
	const std::string system = root + "/sys/devices/system/cpu/";
	read_governors(settings, root, cpus);
	read_boost(settings, system);
	read_smt(settings, root, cpus);
	settings.isolated = kernel_list(system + "isolated");
	settings.nohz_full = kernel_list(system + "nohz_full");
	return settings;
}

namespace
{

// The processes other than this one that used the most CPU between the
// samples, at most five and at least 5 % of a CPU each: pid, command, and
// percent of one CPU, the CPUs' ticks over the sample as /proc/stat counted
// them.
std::vector<std::pair<int, std::pair<std::string, double>>>
top_consumers(const Sample &start, const Sample &end)
{
	long long window = 0;
	for (const auto &[cpu, before] : start.cpus) {
		const auto after = end.cpus.find(cpu);
		if (after != end.cpus.end())
			window += after->second.busy + after->second.idle +
			          after->second.steal - before.busy -
			          before.idle - before.steal;
	}
	window /=
	    std::max<long long>(1, static_cast<long long>(start.cpus.size()));
	std::vector<std::pair<long long, int>> used;
	for (const auto &[pid, before] : start.processes) {
		const auto after = end.processes.find(pid);
		if (pid != getpid() && after != end.processes.end() &&
		    after->second.ticks > before.ticks)
			used.emplace_back(after->second.ticks - before.ticks,
			                  pid);
	}
	std::sort(used.rbegin(), used.rend());
	std::vector<std::pair<int, std::pair<std::string, double>>> top;
	for (const auto &[ticks, pid] : used) {
		const double share = 100 * static_cast<double>(ticks) /
		                     static_cast<double>(std::max(1LL, window));
		if (top.size() == 5 || share < 5)
			break;
		top.push_back({pid, {end.processes.at(pid).command, share}});
	}
	return top;
}

// The findings as the check prints them, and the closing line; `unknown`
// names what the kernel does not show.
std::string report(const std::vector<Finding> &found,
                   const std::vector<std::string> &unknown,
                   const std::set<int> &cpus)
{
	std::string text;
	int disturbing = 0;
	for (const Finding &finding : found) {
		disturbing += finding.note ? 0 : 1;
		text += (finding.note ? "note: " : "") + finding.what + "\n";
		const char *lead = "    fix: ";
		for (const std::string &fix : finding.fixes) {
			text += lead + fix + "\n";
			lead = "     or: ";
		}
	}
	if (!unknown.empty())
		text +=
		    "not shown by the kernel here: " + joined(unknown, " ") +
		    "\n";
	const std::string where =
	    (cpus.size() == 1 ? "CPU " : "CPUs ") + cpu_list(cpus) + "\n";
	if (disturbing == 0)
		return text + "quiet: nothing found that disturbs runs on " +
		       where;
	return text + "disturbed: " + std::to_string(disturbing) +
	       (disturbing == 1 ? " finding that disturbs"
	                        : " findings that disturb") +
	       " runs on " + where;
}

} // namespace

int check_system(const std::string &root, const std::string &root_after,
                 const std::set<int> &cpus, double seconds)
{
	const Settings settings = read_settings(root, cpus);
	const Sample start = take_sample(root, cpus, true);
	sleep_for(seconds);
	Sample end =
	    take_sample(root_after.empty() ? root : root_after, cpus, true);
	// The check's own reading of /proc, a few milliseconds, is left in
	// the others' share: too little to matter, and what it sees of stand-in
	// files stays exact.
	end.own_seconds = start.own_seconds;
	const Figures got = figures(start, end, static_cast<int>(cpus.size()),
	                            sysconf(_SC_CLK_TCK));
	const std::vector<Finding> found =
	    findings(settings, got, top_consumers(start, end), cpus);
	std::vector<std::string> unknown;
	for (const auto &[name, value] : noise_entries(got, settings))
		if (value == "unknown")
			unknown.push_back(name);
	(void)std::fputs(report(found, unknown, cpus).c_str(), stdout);
	const bool disturbs =
	    std::any_of(found.begin(), found.end(),
	                [](const Finding &finding) { return !finding.note; });
	return disturbs ? 1 : 0;
}
