#pragma once
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "pluginhost/plugin.h"

namespace corvane {

using PluginList = std::vector<std::shared_ptr<Plugin>>;

// The loaded and failed lists. Both are built and reordered only on the main
// thread, which reads `loaded` directly (the dispatch loop adds no lock per
// event). Other threads (IPC delivery, search start) read an immutable
// snapshot, replaced under snapshotMutex_ after every change.
class PluginRegistry {
public:
  PluginList loaded;               // main thread only; in open order
  PluginList failed;               // main thread only; in discovery order
  std::shared_ptr<Plugin> logging; // set at start, before other threads run

  // Main thread, after changing `loaded`.
  void Publish();
  // Any thread.
  std::shared_ptr<const PluginList> Snapshot() const;

private:
  mutable std::mutex snapshotMutex_;
  std::shared_ptr<const PluginList> snapshot_ = std::make_shared<const PluginList>();
};

// How lines name a source index: "Core" for the core and plug-in 0, else the
// display stem of the first plug-in in `plugins` with that id, else "unknown".
std::string_view SourceName(const PluginList& plugins, uint32_t index);

// Library paths in "protected-plugins" and "plugins" below `executableDir`,
// filtered and in load order.
std::vector<std::string> DiscoverPlugins(const std::string& executableDir);

} // namespace corvane
