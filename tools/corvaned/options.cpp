#include "options.h"

#include <cstring>
#include <filesystem>
#include <fmt/format.h>
#include <system_error>

namespace fs = std::filesystem;

std::string OwnPath(const char* argv0) {
  std::error_code error;
  const fs::path self = fs::canonical("/proc/self/exe", error);
  if (!error) return self.string();
  return fs::absolute(argv0 != nullptr ? argv0 : "corvaned", error).string();
}

namespace {

// The installed core (relative to corvaned's directory), else the one beside
// corvaned, as in the build tree.
std::string DefaultCorePath(const fs::path& ownDir) {
  std::error_code ignored;
  const fs::path installed = (ownDir / CORVANED_INSTALLED_CORE).lexically_normal();
  if (fs::is_regular_file(installed, ignored)) return installed.string();
  return (ownDir / "corvane-core").string();
}

void Usage(const char* argv0) {
  fmt::print(stderr,
             "corvaned {}\n"
             "Usage: {} [--background] [--core PATH] [--workdir DIR]\n"
             "  --background   tell the core it runs unattended (no console lines)\n"
             "  --core PATH    the core executable (default: {} relative to corvaned,\n"
             "                 else corvane-core beside it)\n"
             "  --workdir DIR  the core's working directory (default: the current one)\n",
             CORVANED_VERSION, argv0, CORVANED_INSTALLED_CORE);
}

} // namespace

std::optional<Options> ParseOptions(int argc, char** argv, bool& error) {
  const char* argv0 = argc > 0 ? argv[0] : "corvaned";
  Options options;
  error = false;
  std::error_code ignored;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--background") {
      options.background = true;
    } else if ((arg == "--core" || arg == "--workdir") && i + 1 < argc) {
      // Made absolute now: the core starts in another directory.
      const std::string value = fs::absolute(argv[++i], ignored).string();
      (arg == "--core" ? options.corePath : options.workDir) = value;
    } else {
      error = arg != "-h" && arg != "--help";
      if (error) fmt::print(stderr, "corvaned: unexpected argument '{}'\n", arg);
      Usage(argv0);
      return std::nullopt;
    }
  }
  if (options.corePath.empty())
    options.corePath = DefaultCorePath(fs::path(OwnPath(argv0)).parent_path());
  if (options.workDir.empty()) options.workDir = fs::current_path(ignored).string();
  return options;
}
