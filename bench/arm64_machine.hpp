// What an arm64 machine tells of itself, for the results' context: the CPU
// models /proc/cpuinfo or MIDR_EL1 name, the HWCAP bits' names and the
// hypervisor its files name. Plain text in, plain text out, so that it
// builds and is tested on any architecture.
#pragma once

#include <string>
#include <vector>

// The distinct CPU models of an arm64 machine, in the order they first
// appear, joined by ", ": "ARM Neoverse-N1 r3p1". They come from each
// processor's "CPU implementer", "CPU part", "CPU variant" and "CPU
// revision" lines in the text of /proc/cpuinfo; where no processor there
// has the first two (another architecture's /proc/cpuinfo, as qemu-user
// shows the host's), from the texts of the CPUs' MIDR_EL1 files of sysfs
// ("0x00000000413fd0c1"). "" when neither names one.
std::string arm_cpu_models(const std::string &cpuinfo,
                           const std::vector<std::string> &midrs);

// The names of the AT_HWCAP bits set, as /proc/cpuinfo's "Features" names
// them, in bit order; "bitN" for a bit without a name, "none" for 0.
std::string arm_hwcap_names(unsigned long hwcap);

// The hypervisor named by the files of an arm64 machine under `root` ("/"
// for this one): /sys/hypervisor/type, the device tree's hypervisor node
// and model, then the firmware's DMI strings, whose vendor is the first
// whole word or words. A hypervisor has the name the x86-64 side gives it
// ("KVM", "Xen", "VMware"), from whichever file; one it does not know is
// `hypervisor "ID"`, where ID is the first line of its file, trimmed,
// printable and at most 64 bytes: a file that does not hold such a line
// tells nothing. "none" where they tell of bare metal, "unknown" where
// nothing tells.
std::string arm_virtualization(const std::string &root);
