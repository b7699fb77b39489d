// CPU accounting shared by the benchmarks: this process, another process, and a child command run
// to completion.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// User + system seconds of this process so far.
double SelfCpuSeconds();

// User + system seconds of a running process, from /proc; 0 when it cannot be read.
double ProcessCpuSeconds(pid_t pid);

// Runs args (args[0] looked up in PATH) to its end; its user + system seconds, or nothing when it
// could not start or did not exit with 0. quietErrors sends its standard error to /dev/null.
std::optional<double> RunChildCpuSeconds(const std::vector<std::string>& args,
                                         bool quietErrors = false);
