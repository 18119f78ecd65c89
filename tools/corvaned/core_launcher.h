#pragma once
#include <string>
#include <sys/types.h>

// Starts the core in `workDir` with `descriptor` as its only argument. The
// child keeps standard input, output and error and that one descriptor;
// every other descriptor is closed. Returns the child's pid, -1 when fork
// fails. A core that cannot be executed exits with status 127.
pid_t LaunchCore(const std::string& corePath, const std::string& workDir, int descriptor);
