#include "queue_floor.h"

#include <dlfcn.h>
#include <stdexcept>
#include <string>

FloorPlugins::FloorPlugins(const BenchInstall& install) {
  const auto paths = install.PluginPaths();
  for (size_t i = 0; i < paths.size(); ++i) {
    handles_[i] = dlopen(paths[i].c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handles_[i] == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    onEvent_[i] = reinterpret_cast<rk::core::OnEventFn>(dlsym(handles_[i], "OnEvent"));
    auto state = reinterpret_cast<BenchStateFn>(dlsym(handles_[i], "BenchState"));
    if (onEvent_[i] == nullptr || state == nullptr)
      throw std::runtime_error("not a bench plug-in: " + paths[i]);
    states_[i] = state();
    // Counters start from zero as they do after the core's Load.
    states_[i]->events = 0;
    states_[i]->stamped = 0;
  }
}

FloorPlugins::~FloorPlugins() {
  for (void* handle : handles_) {
    if (handle != nullptr) dlclose(handle);
  }
}
