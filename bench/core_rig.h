#pragma once
// The real core, in this process: DvrCore with the three bench plug-ins
// loaded and opened from their .so files, the dispatch loop on its own
// thread, and optionally the IPC channel over a socket pair whose other end
// the benchmark holds. Events go in through PostEventCallback, as a plug-in's
// would. One rig per measured run: a stopped core cannot be restarted.
#include <array>
#include <memory>
#include <optional>
#include <thread>

#include "bench_install.h"
#include "core/dvr_core.h"
#include "plugins/bench_plugin_state.h"

using namespace corvane;

class CoreRig {
public:
  struct Options {
    bool dispatch = true; // start the dispatch loop at once
    bool ipc = false;     // adopt a socket pair and run the I/O thread
    bool http = false;    // with ipc: the status endpoint on, on a free loopback port
  };

  CoreRig(const BenchInstall& install, Options options);
  ~CoreRig();
  CoreRig(const CoreRig&) = delete;
  CoreRig& operator=(const CoreRig&) = delete;

  void StartDispatch();
  // Sets the stopping flag and returns once the loop drained the queue.
  void StopAndDrain();

  // The bench plug-ins as the core loaded them: 0 = bench_a ... 2 = bench_c.
  BenchPluginState& State(size_t index) const { return *states_[index]; }
  BenchPostIpcFn PostIpc(size_t index) const { return postIpc_[index]; }
  DvrCore& Core() { return *core_; }
  // The parent's end of the socket pair (-1 without ipc).
  int ParentFd() const { return parentFd_; }

private:
  std::unique_ptr<DvrCore> core_; // the post callback reaches it while the rig lives
  std::thread dispatch_;
  int parentFd_ = -1;
  std::array<void*, 3> handles_{}; // our own references to the loaded files
  std::array<BenchPluginState*, 3> states_{};
  std::array<BenchPostIpcFn, 3> postIpc_{};
};
