#include "pluginhost/plugin_registry.h"

namespace corvane {

void PluginRegistry::Publish() {
  auto copy = std::make_shared<const PluginList>(loaded);
  std::lock_guard lock(snapshotMutex_);
  snapshot_ = std::move(copy);
}

std::shared_ptr<const PluginList> PluginRegistry::Snapshot() const {
  std::lock_guard lock(snapshotMutex_);
  return snapshot_;
}

std::string_view SourceName(const PluginList& plugins, uint32_t index) {
  if (index == rk::core::kIdCore) return "Core";
  for (const auto& plugin : plugins) {
    // A plug-in without id has index 0, never asked for here.
    if (plugin->Id() == index) return plugin->DisplayStem();
  }
  return "unknown";
}

} // namespace corvane
