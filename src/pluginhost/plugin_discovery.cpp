#include <algorithm>
#include <filesystem>
#include <strings.h>
#include <system_error>

#include "pluginhost/plugin_registry.h"
#include "rk/core/core_ids.h"

namespace corvane {

namespace fs = std::filesystem;

std::vector<std::string> DiscoverPlugins(const std::string& executableDir) {
  std::vector<std::string> paths;
  std::vector<std::string> names;
  for (const char* directory : {"protected-plugins", "plugins"}) {
    std::error_code error;
    fs::directory_iterator it(fs::path(executableDir) / directory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      const fs::path& path = it->path();
      const std::string name = path.filename().string();
      const size_t dot = name.find_last_of('.');
      if (dot == std::string::npos || name.compare(dot, std::string::npos, ".so") != 0) continue;
      std::error_code statError;
      if (!fs::is_regular_file(path, statError)) continue;
      if (name == rk::core::kLoggingPluginFile) continue;
      if (std::find(names.begin(), names.end(), name) != names.end()) continue;
      names.push_back(name);
      paths.push_back(path.string());
    }
  }
  auto byGroupThenName = [](const std::string& a, const std::string& b) {
    const bool aFirst = a.find(rk::core::kLoadsFirstMark) != std::string::npos;
    const bool bFirst = b.find(rk::core::kLoadsFirstMark) != std::string::npos;
    if (aFirst != bFirst) return aFirst;
    return strcasecmp(fs::path(a).filename().c_str(), fs::path(b).filename().c_str()) < 0;
  };
  std::stable_sort(paths.begin(), paths.end(), byGroupThenName);
  return paths;
}

} // namespace corvane
