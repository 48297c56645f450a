// What disturbs a measurement on this machine: other processes on the
// bench's CPUs, steal time, the load average, and the settings that make a
// CPU's speed vary (governor, boost, SMT siblings, isolation). Read from
// /proc and /sys under a root that the tests replace with stand-in files;
// judged apart from the reading, so that the judging has known answers.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// A run is disturbed when, during it, other processes used more than this
// share of the bench's CPUs' time (and more than the least the kernel's
// 10 ms ticks can tell from none), steal took more than this share, or the
// 1-minute load average before or after exceeded the bench's CPUs. On two
// vCPUs, quiet runs left others at most 6 %; one busy loop took 55 % and
// raised a median by 10 to 15 %, so 10 % moves it by about 2 to 3 %. Steal
// lengthens the runs by its share: 2 % weighs about as much.
constexpr double most_others_percent = 10;
constexpr double least_others_seconds = 0.1;
constexpr double most_steal_percent = 2;

// One CPU's times from /proc/stat, in the kernel's clock ticks.
struct CpuTimes {
	long long busy = 0;  // user, nice, system, irq, softirq
	long long idle = 0;  // idle, iowait
	long long steal = 0; // taken by the hypervisor
};

// A process's CPU time so far, for the system check's top consumers.
struct ProcessTime {
	std::string command;
	long long ticks = 0; // user plus system
};

// What the kernel shows at one moment.
struct Sample {
	std::optional<double> load;   // the 1-minute load average
	std::map<int, CpuTimes> cpus; // the bench's CPUs /proc/stat lists
	double own_seconds = 0;       // this process's and its children's
	std::map<int, ProcessTime> processes; // by pid, when asked for
};

// The settings of the bench's CPUs, each as its context entry shows it.
struct Settings {
	std::string governor = "unknown";  // "performance", "cpu1 powersave"...
	std::string boost = "unknown";     // "on", "off"
	std::string smt = "unknown";       // "off", "on (siblings 0,2 1,3)"
	std::string isolated = "unknown";  // "none" or the kernel's list
	std::string nohz_full = "unknown"; // likewise
	// For the system check: CPUs whose governor is not performance, how
	// boost is switched ("cpufreq" or "intel_pstate"), and one CPU of each
	// core of the bench's CPUs.
	std::vector<int> slow_governor;
	std::string boost_switch;
	std::vector<int> one_per_core;
};

// What disturbed the bench between two samples.
struct Figures {
	int cpus = 0; // the bench's CPUs
	std::optional<double> load_before;
	std::optional<double> load_after;
	std::optional<double> others_percent; // of the bench's CPUs' time
	double others_seconds = 0;
	std::optional<double> steal_percent;
};

// The figures between `start` and `end`, samples of the bench's `cpus`;
// unknown where either lacks them.
Figures figures(const Sample &start, const Sample &end, int cpus,
                long ticks_per_second);

// The reasons the run was disturbed, empty if it was quiet.
std::vector<std::string> judge(const Figures &figures);

// The context entries of a run: noise ("quiet" or "disturbed: REASONS")
// and the measured figures and settings.
std::vector<std::pair<std::string, std::string>>
noise_entries(const Figures &figures, const Settings &settings);

// The names of those entries.
std::vector<std::string> noise_entry_names();

// A finding of the system check: what was found and the commands that
// would fix it. A note disturbs nothing now but would make runs quieter.
struct Finding {
	std::string what;
	std::vector<std::string> fixes;
	bool note = false;
};

// What the system check finds in `settings`, in the figures of a short
// sample, and in the processes that used the most CPU during it (pid,
// command, percent of one CPU).
std::vector<Finding>
findings(const Settings &settings, const Figures &figures,
         const std::vector<std::pair<int, std::pair<std::string, double>>>
             &consumers,
         const std::set<int> &cpus);

// "0-3,6" for {0, 1, 2, 3, 6}; the kernel's list read back.
std::string cpu_list(const std::set<int> &cpus);
std::set<int> parse_cpu_list(const std::string &text);
// `words` with `between` between each two.
std::string joined(const std::vector<std::string> &words,
                   const std::string &between);

// Reading, from the files under `root` ("" for the machine's own).
Sample take_sample(const std::string &root, const std::set<int> &cpus,
                   bool processes);
Settings read_settings(const std::string &root, const std::set<int> &cpus);
// The CPUs this process may run on.
std::set<int> own_cpus();

// The system check: reads the files under `root` for the bench's `cpus`,
// samples for `seconds` (taking the second sample under `root_after` if it
// is not empty), prints what it finds to standard output. Returns 0 when
// nothing disturbs, 1 when something does.
int check_system(const std::string &root, const std::string &root_after,
                 const std::set<int> &cpus, double seconds);
