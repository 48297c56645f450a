// What a result was measured on, for the results' context.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The machine and the environment the programs run in, as named entries:
// kernel, libc, cpu_model, affinity, virtualization and tunables.
std::vector<std::pair<std::string, std::string>> machine_context();

// `path` made absolute, or as it is when it cannot be resolved.
std::string resolved(const std::string &path);
