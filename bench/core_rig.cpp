#include "core_rig.h"

#include <dlfcn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

CoreRig::CoreRig(const BenchInstall& install, Options options) {
  core_ = std::make_unique<DvrCore>(install.ExecutablePath());
  g_core = core_.get();
  // The load lines would otherwise be printed; they still travel the bus.
  core_->log.SetConsoleOff();
  if (options.ipc) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
      throw std::runtime_error("socketpair failed");
    parentFd_ = pair[0];
    if (!core_->ipc.Adopt(static_cast<uint32_t>(pair[1]))) throw std::runtime_error("adopt failed");
    work_.emplace(boost::asio::make_work_guard(core_->io));
    io_ = std::thread([this] { core_->io.run(); });
    core_->ipc.StartReceive();
  }
  core_->LoadPlugins();
  core_->OpenPlugins();
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
  if (work_) {
    work_.reset();
    core_->io.stop();
    io_.join();
  }
  core_->ClosePlugins();
  core_->UnloadPlugins();
  for (void* handle : handles_) {
    if (handle != nullptr) dlclose(handle);
  }
  core_.reset();
  g_core = nullptr;
  if (parentFd_ >= 0) ::close(parentFd_);
}
