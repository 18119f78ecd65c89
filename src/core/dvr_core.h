#pragma once
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "config/core_settings.h"
#include "core/event_entry.h"
#include "core/status_endpoint.h"
#include "events/dispatch_loop.h"
#include "events/event_bus.h"
#include "http/recent_lines.h"
#include "ipc/ipc_channel.h"
#include "log/logger.h"
#include "monitor/memory_monitor.h"
#include "pluginhost/plugin_registry.h"
#include "pluginhost/plugin_set.h"
#include "search/search_handler.h"
#include "tap/tap_server.h"
#include "util/core_counters.h"

namespace corvane {

inline constexpr const char* kCoreVersion = "26.1.3.0";
inline constexpr const char* kProductName = "Corvane";

// The core: one instance per process, created by main. It owns every module
// for the life of the process, wires them together and runs the lifecycle;
// the modules know nothing of it. While it lives, the post event callback
// and the core's own log lines reach its event entry.
//
// Threads: the main thread runs the phases below and the destructor; the
// I/O thread runs io's handlers (signals, monitor tick, IPC). Members written
// once before other threads start (identity, settings) need no lock; every
// other shared member is an atomic or a module that states its own lock.
class DvrCore final : private DispatchObserver {
  // First, so that every module given a reference finds it built.
  std::atomic<uint8_t> stopping_{0};

public:
  explicit DvrCore(std::string executablePath);
  ~DvrCore() override;
  DvrCore(const DvrCore&) = delete;
  DvrCore& operator=(const DvrCore&) = delete;

  // Host identifier, process identity, the parent's socket, the logging
  // plug-in. False when the core cannot run (the reason is logged).
  bool Init(uint32_t descriptor);
  // Every phase below, in order; returns when the core has stopped.
  void Run();

  // The phases of Run, for tools and benchmarks that drive a core in-process.
  void StartServices(); // signals, settings, start-up status, memory event
  void StartIo();       // I/O thread, monitor tick, IPC receive
  void LoadAndOpenPlugins();
  void PublishStatus();
  void DispatchLoop(); // returns once stopping and the queue is empty
  void CloseAndUnloadPlugins();
  void StopIo();

  // Any thread, any number of times.
  void RequestStop();
  bool Stopping() const { return stopping_.load(std::memory_order_acquire) != 0; }

  // Identity and settings: written by Init and StartServices before any
  // other thread of the core runs, read-only afterwards.
  std::string hostId;
  const std::string executablePath;
  CoreSettings settings{kProductName, kCoreVersion, true, std::nullopt};

  // The modules, in the order they are built; each one's header says who
  // may call what from which thread.
  Logger log;
  RecentLines warnings; // the last lines logged at Warning and above
  PluginRegistry plugins;
  CoreCounters counters;
  boost::asio::io_context io;
  EventBus bus;
  IpcChannel ipc;
  SearchHandler search;
  MemoryMonitor memory;
  EventEntry entry;
  PluginSet pluginSet;
  // The live event tap at "tap.sock" in the working directory, from the I/O
  // start to its stop; the dispatch loop publishes to it.
  TapServer tap;

private:
  void BeforeDelivery(const rk::core::EventParms& record) override;
  void AfterTake(DispatchStats& stats) override;
  void ArmTimer(std::chrono::steady_clock::time_point expiry);
  void OnTimer(const boost::system::error_code& error);
  void ReportLeakedReferences();

  boost::asio::steady_timer timer_;
  std::atomic<bool> timerPending_{false}; // a wait is outstanding on timer_
  std::optional<boost::asio::signal_set> signals_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::thread ioThread_;
  // Built by StartIo when core.xml asks for it; serves once plug-ins are open.
  std::unique_ptr<StatusEndpoint> endpoint_;
};

} // namespace corvane
