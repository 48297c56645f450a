// The noise's known answers, and its reading on stand-in files.
//
//   noise-test                          the judging's table of cases
//   noise-test run CPUS BEFORE AFTER    the context entries of a run whose
//                                       samples are read under the roots
//                                       BEFORE and AFTER
//   noise-test check CPUS ROOT [AFTER]  the system check on those files
//
// Exit status 0 (the check's own otherwise), 1 a case failed, 2 usage.

#include "noise.hpp"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

int failed = 0;

void expect(const char *name, const std::string &got, const std::string &want)
{
	if (got == want)
		return;
	(void)std::printf("failed: %s: got \"%s\", expected \"%s\"\n", name,
	                  got.c_str(), want.c_str());
	++failed;
}

// Each case's reasons, joined by "; ", and its entry `noise`.
void judging_table()
{
	// Figures: cpus, loads before and after, others % and s, steal.
	const struct {
		const char *name = "";
		Figures figures;
		const char *reasons = "";
	} cases[] = {
	    {"quiet", {2, 0.5, 0.6, 5, 0.5, 0}, ""},
	    {"all unknown", {2, {}, {}, {}, 0, {}}, ""},
	    {"others at 10 %", {2, 0, 0, 10, 1, 0}, ""},
	    {"others just below", {2, 0, 0, 9.9, 1, 0}, ""},
	    {"others just above",
	     {2, 0, 0, 10.1, 1, 0},
	     "other processes used 10.1 % of the bench's CPUs (above 10.0 %)"},
	    {"others 50 % for 0.1 s", {2, 0, 0, 50, 0.1, 0}, ""},
	    {"others 50 % for 0.11 s",
	     {2, 0, 0, 50, 0.11, 0},
	     "other processes used 50.0 % of the bench's CPUs (above "
	     "10.0 %)"},
	    {"steal at 2 %", {2, 0, 0, 0, 0, 2}, ""},
	    {"steal just above",
	     {2, 0, 0, 0, 0, 2.1},
	     "steal time took 2.1 % of the bench's CPUs (above 2.0 %)"},
	    {"load at the CPUs", {2, 2, 2, 0, 0, 0}, ""},
	    {"load before just above",
	     {2, 2.01, 1.9, 0, 0, 0},
	     "load average 2.01 before the run (above the bench's 2 CPUs)"},
	    {"load after, one CPU",
	     {1, 0.2, 1.01, 0, 0, 0},
	     "load average 1.01 after the run (above the bench's 1 CPU)"},
	    {"all three",
	     {2, 2.32, 2.74, 55.3, 1.9, 3},
	     "other processes used 55.3 % of the bench's CPUs (above "
	     "10.0 %); steal time took 3.0 % of the bench's CPUs (above "
	     "2.0 %); load average 2.32 before and 2.74 after the run "
	     "(above the bench's 2 CPUs)"},
	};
	for (const auto &c : cases) {
		std::string got;
		for (const std::string &reason : judge(c.figures))
			got += (got.empty() ? "" : "; ") + reason;
		expect(c.name, got, c.reasons);
		expect(c.name,
		       noise_entries(c.figures, Settings{}).front().second,
		       *c.reasons == '\0'
		           ? "quiet"
		           : std::string("disturbed: ") + c.reasons);
	}
}

// The figures between two samples of CPUs 0 and 1, at 100 ticks a second,
// as their entries others_cpu and steal show them.
void figures_table()
{
	Sample start;
	start.cpus = {{0, {10, 10, 0}}, {1, {20, 20, 5}}};
	start.own_seconds = 1;
	// 400 ticks, 150 busy of which the bench's own 0.5 s, 10 stolen.
	const std::map<int, CpuTimes> later = {{0, {60, 230, 0}},
	                                       {1, {120, 40, 15}}};
	const struct {
		const char *name;
		double own_seconds;
		std::map<int, CpuTimes> cpus;
		const char *others;
		const char *steal;
	} cases[] = {
	    {"both CPUs", 1.5, later, "25.0 % (1.00 s)", "2.5 %"},
	    {"own time above busy", 9, later, "0.0 % (0.00 s)", "2.5 %"},
	    {"no CPU at the end", 1.5, {}, "unknown", "unknown"},
	};
	for (const auto &c : cases) {
		Sample end;
		end.cpus = c.cpus;
		end.own_seconds = c.own_seconds;
		const auto entries =
		    noise_entries(figures(start, end, 2, 100), Settings{});
		expect(c.name,
		       entries.at(3).second + ", " + entries.at(4).second,
		       std::string(c.others) + ", " + c.steal);
	}
}

} // namespace

int main(int argc, char **argv)
{
	const std::vector<std::string> args(argv + 1, argv + argc);
	if (args.empty()) {
		judging_table();
		figures_table();
		return failed == 0 ? 0 : 1;
	}
	if (args[0] == "run" && args.size() == 4) {
		const std::set<int> cpus = parse_cpu_list(args[1]);
		const Sample start = take_sample(args[2], cpus, false);
		Sample end = take_sample(args[3], cpus, false);
		// The stand-ins' ticks are all others'.
		end.own_seconds = start.own_seconds;
		const Figures got =
		    figures(start, end, static_cast<int>(cpus.size()),
		            sysconf(_SC_CLK_TCK));
		for (const auto &[name, value] :
		     noise_entries(got, read_settings(args[2], cpus)))
			(void)std::printf("%s: %s\n", name.c_str(),
			                  value.c_str());
		return 0;
	}
	if (args[0] == "check" && (args.size() == 3 || args.size() == 4))
		return check_system(args[2], args.size() == 4 ? args[3] : "",
		                    parse_cpu_list(args[1]), 0);
	(void)std::fputs("usage: noise-test [run CPUS BEFORE AFTER | check "
	                 "CPUS ROOT [AFTER]]\n",
	                 stderr);
	return 2;
}
