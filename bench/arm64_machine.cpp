#include "arm64_machine.hpp"

#include "file_text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace
{

// A name and what it stands for.
template <typename Key> struct Named {
	Key key;
	const char *name;
};

// The designers that MIDR_EL1's top byte names, and the parts of theirs
// that machines measured here are likely to have. A part missing here is
// shown by its number.
constexpr std::array<Named<unsigned>, 15> implementers = {{
    {0x41, "ARM"},
    {0x42, "Broadcom"},
    {0x43, "Cavium"},
    {0x46, "Fujitsu"},
    {0x48, "HiSilicon"},
    {0x4e, "NVIDIA"},
    {0x50, "APM"},
    {0x51, "Qualcomm"},
    {0x53, "Samsung"},
    {0x56, "Marvell"},
    {0x61, "Apple"},
    {0x69, "Intel"},
    {0x6d, "Microsoft"},
    {0x70, "Phytium"},
    {0xc0, "Ampere"},
}};

// Implementer and part.
using Part = std::pair<unsigned, unsigned>;
constexpr std::array<Named<Part>, 43> parts = {{
    {{0x41, 0xd02}, "Cortex-A34"},   {{0x41, 0xd03}, "Cortex-A53"},
    {{0x41, 0xd04}, "Cortex-A35"},   {{0x41, 0xd05}, "Cortex-A55"},
    {{0x41, 0xd06}, "Cortex-A65"},   {{0x41, 0xd07}, "Cortex-A57"},
    {{0x41, 0xd08}, "Cortex-A72"},   {{0x41, 0xd09}, "Cortex-A73"},
    {{0x41, 0xd0a}, "Cortex-A75"},   {{0x41, 0xd0b}, "Cortex-A76"},
    {{0x41, 0xd0c}, "Neoverse-N1"},  {{0x41, 0xd0d}, "Cortex-A77"},
    {{0x41, 0xd0e}, "Cortex-A76AE"}, {{0x41, 0xd40}, "Neoverse-V1"},
    {{0x41, 0xd41}, "Cortex-A78"},   {{0x41, 0xd42}, "Cortex-A78AE"},
    {{0x41, 0xd43}, "Cortex-A65AE"}, {{0x41, 0xd44}, "Cortex-X1"},
    {{0x41, 0xd46}, "Cortex-A510"},  {{0x41, 0xd47}, "Cortex-A710"},
    {{0x41, 0xd48}, "Cortex-X2"},    {{0x41, 0xd49}, "Neoverse-N2"},
    {{0x41, 0xd4a}, "Neoverse-E1"},  {{0x41, 0xd4b}, "Cortex-A78C"},
    {{0x41, 0xd4c}, "Cortex-X1C"},   {{0x41, 0xd4d}, "Cortex-A715"},
    {{0x41, 0xd4e}, "Cortex-X3"},    {{0x41, 0xd4f}, "Neoverse-V2"},
    {{0x41, 0xd80}, "Cortex-A520"},  {{0x41, 0xd81}, "Cortex-A720"},
    {{0x41, 0xd82}, "Cortex-X4"},    {{0x41, 0xd84}, "Neoverse-V3"},
    {{0x41, 0xd8e}, "Neoverse-N3"},  {{0x43, 0x0a1}, "ThunderX"},
    {{0x43, 0x0af}, "ThunderX2"},    {{0x46, 0x001}, "A64FX"},
    {{0x48, 0xd01}, "Kunpeng-920"},  {{0x4e, 0x004}, "Carmel"},
    {{0x50, 0x000}, "X-Gene"},       {{0x61, 0x022}, "Icestorm"},
    {{0x61, 0x023}, "Firestorm"},    {{0xc0, 0xac3}, "Ampere-1"},
    {{0xc0, 0xac4}, "Ampere-1a"},
}};

// /proc/cpuinfo's names of the AT_HWCAP bits, bit 0 first.
constexpr std::array<const char *, 32> hwcaps = {
    "fp",     "asimd",   "evtstrm",  "aes",     "pmull", "sha1",     "sha2",
    "crc32",  "atomics", "fphp",     "asimdhp", "cpuid", "asimdrdm", "jscvt",
    "fcma",   "lrcpc",   "dcpop",    "sha3",    "sm3",   "sm4",      "asimddp",
    "sha512", "sve",     "asimdfhm", "dit",     "uscat", "ilrcpc",   "flagm",
    "ssbs",   "sb",      "paca",     "pacg",
};

template <typename Key, std::size_t N>
const char *name_of(const std::array<Named<Key>, N> &table, const Key &key)
{
	const auto *found =
	    std::find_if(table.begin(), table.end(),
	                 [&key](const Named<Key> &n) { return n.key == key; });
	return found != table.end() ? found->name : nullptr;
}

std::string hex(unsigned value, int digits)
{
	std::array<char, 16> text{};
	(void)std::snprintf(text.data(), text.size(), "0x%0*x", digits, value);
	return text.data();
}

// What a processor says of itself; -1 for what it does not say.
struct Processor {
	long implementer = -1;
	long part = -1;
	long variant = -1;
	long revision = -1;
};

std::string model(const Processor &p)
{
	const auto implementer = static_cast<unsigned>(p.implementer);
	const auto part = static_cast<unsigned>(p.part);
	const char *designer = name_of(implementers, implementer);
	const char *core = name_of(parts, Part{implementer, part});
	std::string text = designer != nullptr
	                       ? designer
	                       : "implementer=" + hex(implementer, 2);
	text +=
	    core != nullptr ? std::string(" ") + core : " part=" + hex(part, 3);
	if (p.variant >= 0 && p.revision >= 0)
		text += " r" + std::to_string(p.variant) + "p" +
		        std::to_string(p.revision);
	return text;
}

std::string trimmed(const std::string &text)
{
	const auto first = text.find_first_not_of(" \t\n");
	if (first == std::string::npos)
		return "";
	return text.substr(first, text.find_last_not_of(" \t\n") + 1 - first);
}

// A whole number as /proc/cpuinfo writes it (0x41, 8), up to `most`;
// -1 when it is none.
long number(const std::string &text, long most)
{
	if (text.empty() || text[0] == '-' || text[0] == '+')
		return -1;
	char *end = nullptr;
	const unsigned long value = std::strtoul(text.c_str(), &end, 0);
	if (*end != '\0' || value > static_cast<unsigned long>(most))
		return -1;
	return static_cast<long>(value);
}

// The strings of a device tree property: NUL-separated.
std::vector<std::string> strings_of(const std::string &property)
{
	std::vector<std::string> list;
	std::size_t start = 0;
	while (start < property.size()) {
		std::size_t end = property.find('\0', start);
		if (end == std::string::npos)
			end = property.size();
		if (end > start)
			list.push_back(property.substr(start, end - start));
		start = end + 1;
	}
	return list;
}

bool has(const std::string &text, const char *part)
{
	return text.find(part) != std::string::npos;
}

bool starts(const std::string &text, const std::string &prefix)
{
	return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends(const std::string &text, const std::string &suffix)
{
	return text.size() >= suffix.size() &&
	       text.compare(text.size() - suffix.size(), suffix.size(),
	                    suffix) == 0;
}

// A DMI string's vendor, and the hypervisor that it names.
constexpr std::array<Named<const char *>, 13> dmi_vendors = {{
    {"KVM", "KVM"},
    {"QEMU", "QEMU"},
    {"Amazon EC2", "Amazon EC2"},
    {"Google Compute Engine", "Google Compute Engine"},
    {"OpenStack", "OpenStack"},
    {"VMware", "VMware"},
    {"VMW", "VMware"},
    {"innotek GmbH", "VirtualBox"},
    {"VirtualBox", "VirtualBox"},
    {"Xen", "Xen"},
    {"Parallels", "Parallels"},
    {"BHYVE", "bhyve"},
    {"Apple Virtualization", "Apple Virtualization"},
}};

bool is_letter(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Whether a DMI string starts with a vendor's name as a whole word: "Xen"
// and "Xen HVM", or "VMware20,1", not "Xenon Systems".
bool names_vendor(const std::string &value, const std::string &vendor)
{
	return starts(value, vendor) && (value.size() == vendor.size() ||
	                                 !is_letter(value[vendor.size()]));
}

// The most bytes of a file read for a name, and the longest name taken:
// longer, it is not a name (a hypervisor's type is a word, a DMI string at
// most 64 bytes in practice).
constexpr std::size_t name_file_most = 4096;
constexpr std::size_t longest_name = 64;

// The first line of a file's text, trimmed, where it is a name: printable
// ASCII, not empty, at most `longest_name` bytes; else "".
std::string name_in(const std::string &text)
{
	std::string line = trimmed(text.substr(0, text.find('\n')));
	if (line.size() > longest_name ||
	    std::any_of(line.begin(), line.end(),
	                [](unsigned char c) { return c < ' ' || c > '~'; }))
		return "";
	return line;
}

// The hypervisors' names, as the x86-64 side gives them from CPUID, by the
// lower-case words that other sources use for them.
constexpr std::array<Named<const char *>, 11> hypervisor_names = {{
    {"kvm", "KVM"},
    {"xen", "Xen"},
    {"vmware", "VMware"},
    {"hyper-v", "Hyper-V"},
    {"hyperv", "Hyper-V"},
    {"qemu", "QEMU"},
    {"bhyve", "bhyve"},
    {"virtualbox", "VirtualBox"},
    {"vbox", "VirtualBox"},
    {"parallels", "Parallels"},
    {"acrn", "ACRN"},
}};

// A hypervisor's name as the x86-64 side spells it, whatever case `id` has;
// "hypervisor \"ID\"" for one it does not know.
std::string canonical(const std::string &id)
{
	std::string lower = id;
	std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
		return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a')
		                            : c;
	});
	const auto *found = std::find_if(
	    hypervisor_names.begin(), hypervisor_names.end(),
	    [&lower](const Named<const char *> &n) { return lower == n.key; });
	return found != hypervisor_names.end() ? found->name
	                                       : "hypervisor \"" + id + "\"";
}

std::string from_dmi(const std::string &root)
{
	const std::string dir = root + "sys/class/dmi/id/";
	const std::string product =
	    name_in(file_text(dir + "product_name", name_file_most));
	for (const char *field :
	     {"product_name", "sys_vendor", "board_vendor", "bios_vendor"}) {
		const std::string value =
		    name_in(file_text(dir + field, name_file_most));
		for (const auto &vendor : dmi_vendors) {
			if (value.empty() || !names_vendor(value, vendor.key))
				continue;
			// EC2's bare-metal instances are named so.
			if (std::string(vendor.name) == "Amazon EC2" &&
			    ends(product, ".metal"))
				return "none";
			return vendor.name;
		}
	}
	return "";
}

// The processors that a /proc/cpuinfo text describes, each from its
// "processor" line to the next.
std::vector<Processor> from_cpuinfo(const std::string &cpuinfo)
{
	constexpr long byte = 0xff;
	constexpr long nibble = 0xf;
	constexpr long part_most = 0xfff;
	std::vector<Processor> found;
	Processor p;
	std::size_t start = 0;
	while (start < cpuinfo.size()) {
		std::size_t end = cpuinfo.find('\n', start);
		if (end == std::string::npos)
			end = cpuinfo.size();
		const std::string line = cpuinfo.substr(start, end - start);
		start = end + 1;
		const auto colon = line.find(':');
		if (colon == std::string::npos)
			continue;
		const std::string key = trimmed(line.substr(0, colon));
		const std::string value = trimmed(line.substr(colon + 1));
		if (key == "processor") {
			found.push_back(p);
			p = Processor{};
		} else if (key == "CPU implementer") {
			p.implementer = number(value, byte);
		} else if (key == "CPU part") {
			p.part = number(value, part_most);
		} else if (key == "CPU variant") {
			p.variant = number(value, nibble);
		} else if (key == "CPU revision") {
			p.revision = number(value, nibble);
		}
	}
	found.push_back(p);
	return found;
}

// The value of a MIDR_EL1 file ("0x00000000413fd0c1"), or false when the
// text is none.
bool parse_midr(const std::string &text, std::uint32_t &midr)
{
	const std::string value = trimmed(text);
	if (!starts(value, "0x") || value.size() == 2 ||
	    value.find_first_not_of("0123456789abcdefABCDEF", 2) !=
	        std::string::npos)
		return false;
	char *end = nullptr;
	const unsigned long long read = std::strtoull(value.c_str(), &end, 16);
	// The upper half of the register is reserved, as zeros.
	if (*end != '\0' || read > UINT32_MAX)
		return false;
	midr = static_cast<std::uint32_t>(read);
	return true;
}

// The processor that a MIDR_EL1 value describes.
Processor from_midr(std::uint32_t midr)
{
	constexpr unsigned implementer_shift = 24;
	constexpr unsigned variant_shift = 20;
	constexpr unsigned part_shift = 4;
	constexpr std::uint32_t byte = 0xff;
	constexpr std::uint32_t nibble = 0xf;
	constexpr std::uint32_t part_mask = 0xfff;
	Processor p;
	p.implementer = (midr >> implementer_shift) & byte;
	p.variant = (midr >> variant_shift) & nibble;
	p.part = (midr >> part_shift) & part_mask;
	p.revision = midr & nibble;
	return p;
}

// The distinct models of the processors that name one, joined by ", ".
std::string models_of(const std::vector<Processor> &processors)
{
	std::vector<std::string> models;
	for (const auto &p : processors) {
		if (p.implementer < 0 || p.part < 0)
			continue;
		std::string one = model(p);
		if (std::find(models.begin(), models.end(), one) ==
		    models.end())
			models.push_back(std::move(one));
	}
	std::string list;
	for (const auto &one : models)
		list += (list.empty() ? "" : ", ") + one;
	return list;
}

} // namespace

std::string arm_cpu_models(const std::string &cpuinfo,
                           const std::vector<std::string> &midrs)
{
	std::string models = models_of(from_cpuinfo(cpuinfo));
	if (!models.empty())
		return models;
	std::vector<Processor> processors;
	for (const auto &text : midrs) {
		std::uint32_t midr = 0;
		if (parse_midr(text, midr))
			processors.push_back(from_midr(midr));
	}
	return models_of(processors);
}

std::string arm_hwcap_names(unsigned long hwcap)
{
	if (hwcap == 0)
		return "none";
	std::string names;
	constexpr unsigned bits = sizeof hwcap * 8;
	for (unsigned bit = 0; bit < bits; ++bit) {
		if ((hwcap & (1UL << bit)) == 0)
			continue;
		names += names.empty() ? "" : " ";
		names += bit < hwcaps.size() ? hwcaps.at(bit)
		                             : "bit" + std::to_string(bit);
	}
	return names;
}

std::string arm_virtualization(const std::string &root)
{
	// Xen says so here, in a guest of any kind; what is not a name here
	// leaves the other sources to tell.
	const std::string type =
	    name_in(file_text(root + "sys/hypervisor/type", name_file_most));
	if (!type.empty())
		return canonical(type);

	// A device tree names its hypervisor, and QEMU's own machine.
	const std::string tree = root + "proc/device-tree/";
	const auto hypervisor = strings_of(
	    file_text(tree + "hypervisor/compatible", name_file_most));
	for (const auto &id : hypervisor) {
		if (has(id, "xen"))
			return "Xen";
		if (id == "linux,kvm")
			return "KVM";
		if (has(id, "vmware"))
			return "VMware";
	}
	if (!hypervisor.empty() && !name_in(hypervisor.front()).empty())
		return canonical(name_in(hypervisor.front()));
	const auto machine = strings_of(file_text(tree + "compatible"));
	if (std::find(machine.begin(), machine.end(), "linux,dummy-virt") !=
	    machine.end())
		return "QEMU";

	// Firmware with SMBIOS, as servers and cloud machines have.
	const std::string vendor = from_dmi(root);
	return vendor.empty() ? "unknown" : vendor;
}
