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
      // The entry's type comes with the directory listing; only a link or an
      // unknown type costs a stat.
      std::error_code statError;
      if (!it->is_regular_file(statError)) continue;
      if (name == rk::core::kLoggingPluginFile) continue;
      if (std::find(names.begin(), names.end(), name) != names.end()) continue;
      names.push_back(name);
      paths.push_back(path.string());
    }
  }
  // By group, then by file name; the names were split off once above.
  std::vector<size_t> order(paths.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto byGroupThenName = [&](size_t a, size_t b) {
    const bool aFirst = paths[a].find(rk::core::kLoadsFirstMark) != std::string::npos;
    const bool bFirst = paths[b].find(rk::core::kLoadsFirstMark) != std::string::npos;
    if (aFirst != bFirst) return aFirst;
    return strcasecmp(names[a].c_str(), names[b].c_str()) < 0;
  };
  std::stable_sort(order.begin(), order.end(), byGroupThenName);
  std::vector<std::string> sorted;
  sorted.reserve(paths.size());
  for (const size_t i : order) sorted.push_back(std::move(paths[i]));
  paths = std::move(sorted);
  return paths;
}

} // namespace corvane
