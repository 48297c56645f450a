#include "machine.hpp"

#include "arm64_machine.hpp"
#include "file_text.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__aarch64__)
#include <glob.h>
#include <sys/auxv.h>
#endif
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

#if defined(__aarch64__)

// The models of the CPUs: /proc/cpuinfo lists them all; where it does not
// (under qemu-user it is the host's), their MIDR_EL1 registers in sysfs do.
std::string cpu_model()
{
	std::vector<std::string> midrs;
	glob_t found{};
	// The context is read once, before the bench starts any thread.
	// NOLINTNEXTLINE(concurrency-mt-unsafe)
	if (glob("/sys/devices/system/cpu/cpu[0-9]*/regs/identification/"
	         "midr_el1",
	         0, nullptr, &found) == 0) {
		for (std::size_t i = 0; i < found.gl_pathc; ++i)
			// NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-pointer-arithmetic)
			midrs.push_back(file_text(found.gl_pathv[i]));
	}
	globfree(&found);
	const std::string models =
	    arm_cpu_models(file_text("/proc/cpuinfo"), midrs);
	return models.empty() ? "unknown" : models;
}

#else

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

#endif

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

// The architecture this program was built for, as the kernel names its
// own; "" where the build does not tell it apart from the kernel's (a
// 32-bit program on a 64-bit kernel is no emulation).
constexpr const char *built_for =
#if defined(__x86_64__)
    "x86_64";
#elif defined(__aarch64__)
    "aarch64";
#else
    "";
#endif

#if defined(__x86_64__) || defined(__i386__)

// The hypervisor, from the vendor signature it gives through CPUID, or
// "none" on bare metal.
std::string hypervisor()
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

#elif defined(__aarch64__)

std::string hypervisor()
{
	return arm_virtualization("/");
}

#else

std::string hypervisor()
{
	return "unknown";
}

#endif

// The hypervisor, or the architecture of the kernel that emulates this
// program.
std::string virtualization()
{
	const std::string kernel = file_text("/proc/sys/kernel/arch");
	std::string emulated =
	    emulation(built_for, kernel.substr(0, kernel.find('\n')));
	return emulated.empty() ? hypervisor() : emulated;
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
	return
	{
		{"kernel", kernel_release()},
		    {"libc", std::string("glibc ") + gnu_get_libc_version()},
		    {"cpu_model", cpu_model()},
#if defined(__aarch64__)
		    {"cpu_features", arm_hwcap_names(getauxval(AT_HWCAP))},
#endif
		    {"affinity", affinity()},
		    {"virtualization", virtualization()},
		    {"tunables", tunables()},
	};
}

std::string emulation(const std::string &program_arch,
                      const std::string &kernel_arch)
{
	if (program_arch.empty() || kernel_arch.empty() ||
	    program_arch == kernel_arch)
		return "";
	return "emulated on " + kernel_arch;
}

std::string resolved(const std::string &path)
{
	const std::unique_ptr<char, void (*)(void *)> absolute(
	    realpath(path.c_str(), nullptr), std::free);
	return absolute ? absolute.get() : path;
}
