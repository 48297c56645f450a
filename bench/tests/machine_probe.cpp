// A stand-in for the bench in the tests of its machine context: it prints
// what the context makes of this machine, or of stand-ins for its files.
//
//   machine-probe                        the context, one "name: value" a
//                                        line
//   machine-probe cpu CPUINFO [MIDR...]  the arm64 CPU models those files
//                                        name
//   machine-probe hwcap NUMBER           the names of those arm64 HWCAP bits
//   machine-probe virtualization ROOT/   the hypervisor the arm64 files
//                                        under ROOT name
//   machine-probe emulation PROGRAM_ARCH KERNEL_ARCH
//
// Exit status 0, or 2 for a usage error.

#include "arm64_machine.hpp"
#include "file_text.hpp"
#include "machine.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
	const std::vector<std::string> args(argv + 1, argv + argc);
	std::string result;
	if (args.empty()) {
		for (const auto &[name, value] : machine_context())
			result.append(name).append(": ").append(value).append(
			    "\n");
	} else if (args[0] == "cpu" && args.size() >= 2) {
		std::vector<std::string> midrs;
		for (std::size_t i = 2; i < args.size(); ++i)
			midrs.push_back(file_text(args[i]));
		result = arm_cpu_models(file_text(args[1]), midrs) + "\n";
	} else if (args[0] == "hwcap" && args.size() == 2) {
		char *end = nullptr;
		const unsigned long hwcap =
		    std::strtoul(args[1].c_str(), &end, 0);
		if (*end != '\0')
			return 2;
		result = arm_hwcap_names(hwcap) + "\n";
	} else if (args[0] == "virtualization" && args.size() == 2) {
		result = arm_virtualization(args[1]) + "\n";
	} else if (args[0] == "emulation" && args.size() == 3) {
		result = emulation(args[1], args[2]) + "\n";
	} else {
		(void)std::fputs(
		    "usage: machine-probe [cpu CPUINFO [MIDR...] | "
		    "hwcap NUMBER | virtualization ROOT/ | "
		    "emulation PROGRAM_ARCH KERNEL_ARCH]\n",
		    stderr);
		return 2;
	}
	return std::fputs(result.c_str(), stdout) >= 0 &&
	               std::fflush(stdout) == 0
	           ? 0
	           : 1;
}
