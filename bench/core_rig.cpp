#include "core_rig.h"

#include <dlfcn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

CoreRig::CoreRig(const BenchInstall& install, Options options) {
  core_ = std::make_unique<DvrCore>(install.ExecutablePath());
  // The load lines would otherwise be printed; they still travel the bus.
  core_->log.SetConsoleOff();
  if (options.ipc) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
      throw std::runtime_error("socketpair failed");
    parentFd_ = pair[0];
    if (!core_->ipc.Adopt(static_cast<uint32_t>(pair[1]))) throw std::runtime_error("adopt failed");
    if (options.http) core_->settings.httpListen = "127.0.0.1:0";
    core_->StartIo();
  }
  core_->LoadAndOpenPlugins();
  const auto paths = install.PluginPaths();
  for (size_t i = 0; i < paths.size(); ++i) {
    handles_[i] = dlopen(paths[i].c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handles_[i] == nullptr) throw std::runtime_error("plug-in not loaded: " + paths[i]);
    auto state = reinterpret_cast<BenchStateFn>(dlsym(handles_[i], "BenchState"));
    postIpc_[i] = reinterpret_cast<BenchPostIpcFn>(dlsym(handles_[i], "BenchPostIpc"));
    if (state == nullptr || postIpc_[i] == nullptr)
      throw std::runtime_error("not a bench plug-in: " + paths[i]);
    states_[i] = state();
  }
  if (options.dispatch) StartDispatch();
}

void CoreRig::StartDispatch() {
  if (!dispatch_.joinable()) dispatch_ = std::thread([this] { core_->DispatchLoop(); });
}

void CoreRig::StopAndDrain() {
  core_->RequestStop();
  if (dispatch_.joinable()) dispatch_.join();
}

CoreRig::~CoreRig() {
  const bool started = dispatch_.joinable();
  StopAndDrain();
  // A loop that never ran still delivers what was queued, as at any stop.
  if (!started) core_->DispatchLoop();
  core_->StopIo();
  core_->CloseAndUnloadPlugins();
  for (void* handle : handles_) {
    if (handle != nullptr) dlclose(handle);
  }
  core_.reset();
  if (parentFd_ >= 0) ::close(parentFd_);
}
