#include "pluginhost/plugin_set.h"

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <strings.h>

#include "log/core_log.h"
#include "log/logger.h"

namespace corvane {

using namespace rk::core;

namespace {

bool HasId(const Plugin& plugin, uint32_t id) {
  return plugin.IdWord() != kIdNone && plugin.Id() == id;
}

} // namespace

PluginSet::PluginSet(PluginRegistry& registry, Logger& log, PostEventFn postEvent,
                     std::string executableDir, const std::string& hostId)
    : registry_(registry), log_(log), postEvent_(postEvent),
      executableDir_(std::move(executableDir)), hostId_(hostId) {}

PluginSet::~PluginSet() {
  ReleasePreloaded();
}

void PluginSet::Preload() {
  // A file that does not map here fails again at its Load, which reports it.
  auto map = [this](const std::string& path) {
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) preloaded_.push_back(handle);
  };
  map((std::filesystem::path(executableDir_) / "plugins" / kLoggingPluginFile).string());
  discovered_ = DiscoverPlugins(executableDir_);
  for (const std::string& path : *discovered_) map(path);
}

void PluginSet::ReleasePreloaded() {
  for (void* handle : preloaded_) dlclose(handle);
  preloaded_.clear();
}

void PluginSet::StartLogging() {
  const auto path = std::filesystem::path(executableDir_) / "plugins" / kLoggingPluginFile;
  registry_.logging = Plugin::Load(path.string(), postEvent_, hostId_);
  registry_.logging->Open();
}

void PluginSet::LoadAll() {
  PluginList& loaded = registry_.loaded;
  const std::vector<std::string> paths =
      discovered_ ? std::move(*discovered_) : DiscoverPlugins(executableDir_);
  for (const std::string& path : paths) {
    auto plugin = Plugin::Load(path, postEvent_, hostId_);
    if (!plugin->IsLoaded()) {
      LogError("Failed to load plugin {}: {}", plugin->fileName, plugin->errorText);
      registry_.failed.push_back(std::move(plugin));
      continue;
    }
    const auto same = std::find_if(loaded.begin(), loaded.end(),
                                   [&](const auto& p) { return p->Key() == plugin->Key(); });
    if (same != loaded.end()) {
      LogWarning("pluginId {:02x} already loaded from {} trying to load {}", plugin->Id(),
                 (*same)->fileName, plugin->fileName);
      continue; // dropping it unloads it
    }
    LogInfo("Loaded plugin {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    log_.SetName(plugin->Id(), plugin->TableName());
    if (HasId(*plugin, kIdOpensFirst)) {
      loaded.insert(loaded.begin(), std::move(plugin));
    } else {
      loaded.push_back(std::move(plugin));
    }
    registry_.Publish();
  }
  for (const auto& plugin : loaded) plugin->ProvideWorkerThreadIf();
  ReleasePreloaded();
}

void PluginSet::OpenAll() {
  for (const auto& plugin : registry_.loaded) {
    LogInfo("Opening {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    plugin->Open();
  }
  if (registry_.logging) registry_.loaded.push_back(registry_.logging);
  registry_.Publish();
}

void PluginSet::CloseAll() {
  PluginList& loaded = registry_.loaded;
  // The late one goes without a line; a search still holding it closes it later.
  std::erase_if(loaded, [](const auto& p) { return HasId(*p, kIdClosesLate); });
  // Watchdog accept words order the close, largest first, as unsigned words.
  std::stable_sort(loaded.begin(), loaded.end(), [](const auto& a, const auto& b) {
    if (a->info.acceptWatchdog != b->info.acceptWatchdog)
      return a->info.acceptWatchdog > b->info.acceptWatchdog;
    return strcasecmp(a->fileName.c_str(), b->fileName.c_str()) < 0;
  });
  registry_.Publish();
  for (const auto& plugin : loaded) {
    LogInfo("Closing {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    plugin->Close();
  }
}

void PluginSet::UnloadAll() {
  for (const auto& plugin : registry_.loaded) {
    LogInfo("Unloading {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    plugin->Unload([&](const char* call, long long seconds) {
      LogWarning("Stopping: still waiting after {} s for {:02x}:{} to return from its {}", seconds,
                 plugin->Id(), plugin->DisplayStem(), call);
    });
  }
}

} // namespace corvane
