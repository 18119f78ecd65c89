#include "bench_install.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

constexpr const char* kPluginNames[] = {"bench_a.so", "bench_b.so", "bench_c.so"};

void CopyExecutable(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec);
}

} // namespace

BenchInstall::BenchInstall() {
  std::string pattern = (fs::temp_directory_path() / "corvane-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root = pattern;
  const fs::path built = CORVANE_BENCH_PLUGIN_DIR;
  for (const char* name : kPluginNames)
    CopyExecutable(built / name, root / "bin" / "plugins" / name);

  startupBin = root / "startup" / "bin";
  startupWork = root / "startup" / "work";
  CopyExecutable(CORVANE_CORE_BINARY, startupBin / "corvane-core");
  fs::create_directories(startupBin / "protected-plugins");
  for (int i = 0; i < kTinyPlugins; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "tiny_%03d.so", i);
    // Real copies: hard links would make the loader map one library once.
    const fs::path path = startupBin / "plugins" / name;
    CopyExecutable(built / "bench_tiny.so", path);
    tinyPaths.push_back(path.string());
  }
  fs::create_directories(startupWork / "scripts");
  {
    std::ofstream script(startupWork / "scripts" / "get_id.sh");
    script << "#!/bin/sh\necho bench-host-id\n";
  }
  fs::permissions(startupWork / "scripts" / "get_id.sh", fs::perms::owner_all);
}

BenchInstall::~BenchInstall() {
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

std::vector<std::string> BenchInstall::PluginPaths() const {
  std::vector<std::string> paths;
  for (const char* name : kPluginNames) paths.push_back((root / "bin" / "plugins" / name).string());
  return paths;
}
