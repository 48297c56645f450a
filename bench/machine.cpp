#include "machine.hpp"

#include <cpuid.h>
#include <gnu/libc-version.h>
#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

std::string kernel_release()
{
	utsname names{};
	return uname(&names) == 0 ? names.release : "unknown";
}

std::string cpu_model()
{
	const std::unique_ptr<FILE, int (*)(FILE *)> cpuinfo(
	    std::fopen("/proc/cpuinfo", "re"), std::fclose);
	std::array<char, 512> line{};
	const char key[] = "model name";
	while (cpuinfo && std::fgets(line.data(), line.size(), cpuinfo.get())) {
		if (std::strncmp(line.data(), key, sizeof key - 1) != 0)
			continue;
		std::string value = line.data();
		value.erase(0, value.find(':') + 1);
		value.erase(0, value.find_first_not_of(" \t"));
		value.erase(value.find_last_not_of(" \t\n") + 1);
		return value;
	}
	return "unknown";
}

// The CPUs this process may run on, as a list of ranges: "0-3,6".
std::string affinity()
{
	cpu_set_t cpus;
	CPU_ZERO(&cpus);
	if (sched_getaffinity(0, sizeof cpus, &cpus) != 0)
		return "unknown";
	constexpr auto most = static_cast<std::size_t>(CPU_SETSIZE);
	std::string list;
	for (std::size_t cpu = 0; cpu < most; ++cpu) {
		if (!CPU_ISSET(cpu, &cpus))
			continue;
		std::size_t last = cpu;
		while (last + 1 < most && CPU_ISSET(last + 1, &cpus))
			++last;
		list += (list.empty() ? "" : ",") + std::to_string(cpu);
		if (last > cpu)
			list += "-" + std::to_string(last);
		cpu = last;
	}
	return list;
}

// The hypervisor, from the vendor signature it gives through CPUID, or
// "none" on bare metal.
std::string virtualization()
{
	unsigned eax = 0;
	unsigned ebx = 0;
	unsigned ecx = 0;
	unsigned edx = 0;
	if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 ||
	    (ecx & (1U << 31U)) == 0)
		return "none";
	__cpuid(0x40000000U, eax, ebx, ecx, edx);
	std::array<char, 12> signature{};
	std::memcpy(signature.data(), &ebx, 4);
	std::memcpy(signature.data() + 4, &ecx, 4);
	std::memcpy(signature.data() + 8, &edx, 4);
	const std::string id(signature.data(),
	                     strnlen(signature.data(), signature.size()));
	// Signature and name.
	using Known = std::pair<const char *, const char *>;
	static const std::array<Known, 9> known = {{
	    {"KVMKVMKVM", "KVM"},
	    {"Microsoft Hv", "Hyper-V"},
	    {"VMwareVMware", "VMware"},
	    {"XenVMMXenVMM", "Xen"},
	    {"TCGTCGTCGTCG", "QEMU TCG"},
	    {"bhyve bhyve ", "bhyve"},
	    {"VBoxVBoxVBox", "VirtualBox"},
	    {" lrpepyh  vr", "Parallels"},
	    {"ACRNACRNACRN", "ACRN"},
	}};
	const auto *found =
	    std::find_if(known.begin(), known.end(),
	                 [&id](const Known &k) { return id == k.first; });
	if (found != known.end())
		return found->second;
	return id.empty() ? "unknown hypervisor" : "hypervisor \"" + id + "\"";
}

// The C library's malloc settings from the environment, or "none".
std::string tunables()
{
	std::string found;
	for (char **variable = environ; *variable != nullptr; ++variable) {
		if (std::strncmp(*variable, "GLIBC_TUNABLES=", 15) != 0 &&
		    std::strncmp(*variable, "MALLOC_", 7) != 0)
			continue;
		found += (found.empty() ? "" : " ") + std::string(*variable);
	}
	return found.empty() ? "none" : found;
}

} // namespace

std::vector<std::pair<std::string, std::string>> machine_context()
{
	return {
	    {"kernel", kernel_release()},
	    {"libc", std::string("glibc ") + gnu_get_libc_version()},
	    {"cpu_model", cpu_model()},
	    {"affinity", affinity()},
	    {"virtualization", virtualization()},
	    {"tunables", tunables()},
	};
}

std::string resolved(const std::string &path)
{
	const std::unique_ptr<char, void (*)(void *)> absolute(
	    realpath(path.c_str(), nullptr), std::free);
	return absolute ? absolute.get() : path;
}
