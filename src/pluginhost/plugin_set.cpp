// The whole set of plug-ins over the core's run: load, open, close, unload.
#include <algorithm>
#include <filesystem>
#include <strings.h>

#include "core/dvr_core.h"
#include "core/process_identity.h"
#include "log/core_log.h"

using namespace rk::core;

void DvrCore::LoadPlugins() {
  const std::string directory = std::filesystem::path(executablePath).parent_path().string();
  for (const std::string& path : DiscoverPlugins(directory)) {
    auto plugin = Plugin::Load(path, &PostEventCallback, hostId);
    if (!plugin->IsLoaded()) {
      LogError("Failed to load plugin {}: {}", plugin->fileName, plugin->errorText);
      plugins.failed.push_back(std::move(plugin));
      continue;
    }
    const auto same = std::find_if(plugins.loaded.begin(), plugins.loaded.end(),
                                   [&](const auto& p) { return p->Key() == plugin->Key(); });
    if (same != plugins.loaded.end()) {
      LogWarning("pluginId {:02x} already loaded from {} trying to load {}", plugin->Id(),
                 (*same)->fileName, plugin->fileName);
      continue; // dropping it unloads it
    }
    LogInfo("Loaded plugin {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    log.SetName(plugin->Id(), plugin->TableName());
    if (plugin->IdWord() != kIdNone && plugin->Id() == 6) {
      plugins.loaded.insert(plugins.loaded.begin(), std::move(plugin));
    } else {
      plugins.loaded.push_back(std::move(plugin));
    }
    plugins.Publish();
  }
  for (const auto& plugin : plugins.loaded) plugin->ProvideWorkerThreadIf();
}

void DvrCore::OpenPlugins() {
  for (const auto& plugin : plugins.loaded) {
    LogInfo("Opening {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    plugin->Open();
  }
  if (plugins.logging) plugins.loaded.push_back(plugins.logging);
  plugins.Publish();
  NarrowCapabilities();
}

void DvrCore::ClosePlugins() {
  // Id 8 goes without a line; a search still holding it closes it later.
  std::erase_if(plugins.loaded,
                [](const auto& p) { return p->IdWord() != kIdNone && p->Id() == 8; });
  std::stable_sort(plugins.loaded.begin(), plugins.loaded.end(), [](const auto& a, const auto& b) {
    if (a->info.acceptWatchdog != b->info.acceptWatchdog)
      return a->info.acceptWatchdog > b->info.acceptWatchdog;
    return strcasecmp(a->fileName.c_str(), b->fileName.c_str()) < 0;
  });
  plugins.Publish();
  for (const auto& plugin : plugins.loaded) {
    LogInfo("Closing {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    plugin->Close();
  }
}

void DvrCore::UnloadPlugins() {
  for (const auto& plugin : plugins.loaded) {
    LogInfo("Unloading {:02x}:{}", plugin->Id(), plugin->DisplayStem());
    plugin->Unload();
  }
}
