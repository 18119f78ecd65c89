// Entry point of the core: corvane-core <descriptor>.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "core/command_line.h"
#include "core/dvr_core.h"

using namespace corvane;

int main(int argc, char** argv) {
  const CommandLine command = ScanCommandLine(argc, argv);
  if (command.help) {
    std::fprintf(stderr, "core version %s\nUsage: %s <pipe>\n", kCoreVersion,
                 argc > 0 ? argv[0] : "corvane-core");
    return 0;
  }

  // A closed console pipe or a file size limit must fail the one write,
  // not end the process: both errors are handled where they happen.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  std::error_code error;
  const std::filesystem::path executable = std::filesystem::canonical("/proc/self/exe", error);
  if (error) {
    std::fputs("failed to find canonical path", stderr);
    return 1;
  }

  auto core = std::make_unique<DvrCore>(executable.string());
  if (!core->Init(command.descriptor)) {
    std::fputs("failed to initialize core\n", stderr);
    // Not destroyed: a plug-in thread may still reach it while the process ends.
    (void)core.release();
    return 2;
  }
  core->Run();
  core.reset();
  return 0;
}
