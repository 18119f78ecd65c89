#pragma once
// The whole set of plug-ins over the core's run, as sequences the core (or a
// benchmark) calls in order on the main thread: the logging plug-in at
// start, then load, open, close and unload of everything discovered.
#include <optional>
#include <string>
#include <vector>

#include "pluginhost/plugin_registry.h"

namespace corvane {

class Logger;

class PluginSet {
public:
  // `executableDir` holds "plugins/" and "protected-plugins/"; every plug-in
  // gets `postEvent` and `hostId` at Load. The references must outlive the set.
  PluginSet(PluginRegistry& registry, Logger& log, rk::core::PostEventFn postEvent,
            std::string executableDir, const std::string& hostId);

  ~PluginSet();
  PluginSet(const PluginSet&) = delete;
  PluginSet& operator=(const PluginSet&) = delete;

  // Discovers the plug-ins and maps every file (the logging one too) ahead of
  // its Load, so that the work can overlap other start-up work; LoadAll loads
  // what was found here and lets the mappings go.
  void Preload();
  // Loads and opens the logging plug-in; neither failure is fatal.
  void StartLogging();
  // Loads in load order what Preload found (discovers now without it);
  // starts the worker threads.
  void LoadAll();
  // Opens in list order, then appends the logging plug-in.
  void OpenAll();
  // Orders the list for closing and closes each.
  void CloseAll();
  // Joins each plug-in's threads and unloads it.
  void UnloadAll();

private:
  PluginRegistry& registry_;
  Logger& log_;
  const rk::core::PostEventFn postEvent_;
  const std::string executableDir_;
  const std::string& hostId_;
  std::optional<std::vector<std::string>> discovered_; // by Preload, for LoadAll
  std::vector<void*> preloaded_; // our own handles from Preload, closed by LoadAll
  void ReleasePreloaded();
};

} // namespace corvane
