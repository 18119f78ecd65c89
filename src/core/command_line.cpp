#include "core/command_line.h"

#include <cstdlib>

namespace corvane {

CommandLine ScanCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      if (arg[1] == 'h') {
        result.help = true;
        return result;
      }
      continue;
    }
    result.descriptor = static_cast<uint32_t>(std::strtol(arg, nullptr, 10));
    return result;
  }
  return result;
}

} // namespace corvane
