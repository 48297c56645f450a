// What a result was measured on, for the results' context.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The machine and the environment the programs run in, as named entries:
// kernel, libc, cpu_model, affinity, virtualization and tunables, and on
// arm64 cpu_features.
std::vector<std::pair<std::string, std::string>> machine_context();

// `path` made absolute, or as it is when it cannot be resolved.
std::string resolved(const std::string &path);

// "emulated on KERNEL_ARCH" when the kernel's architecture (as
// /proc/sys/kernel/arch gives it) is not the program's, as under qemu-user;
// "" when they are the same or either is unknown ("").
std::string emulation(const std::string &program_arch,
                      const std::string &kernel_arch);
