#include "pluginhost/plugin_registry.h"

void PluginRegistry::Publish() {
  auto copy = std::make_shared<const PluginList>(loaded);
  std::lock_guard lock(snapshotMutex_);
  snapshot_ = std::move(copy);
}

std::shared_ptr<const PluginList> PluginRegistry::Snapshot() const {
  std::lock_guard lock(snapshotMutex_);
  return snapshot_;
}
