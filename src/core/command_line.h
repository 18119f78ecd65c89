#pragma once
#include <cstdint>

namespace corvane {

// What the command line asks for: help, or run with a descriptor (-1: none).
struct CommandLine {
  bool help = false;
  uint32_t descriptor = 0xFFFFFFFF;
};

// Scans left to right: "-h..." asks for help, other "-..." are ignored, the
// first other argument is the descriptor (strtol, truncated to 32 bits) and
// ends the scan.
CommandLine ScanCommandLine(int argc, const char* const* argv);

} // namespace corvane
