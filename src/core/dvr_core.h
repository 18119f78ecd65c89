#pragma once
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "events/event_queue.h"
#include "ipc/ipc_channel.h"
#include "log/logger.h"
#include "monitor/core_counters.h"
#include "monitor/memory_monitor.h"
#include "pluginhost/plugin_registry.h"
#include "rk/core/event_parms.h"
#include "search/search_handler.h"

inline constexpr const char* kCoreVersion = "26.1.3.0";
inline constexpr const char* kProductName = "Corvane";

// The core: one instance per process, created by main and reachable through
// g_core (the post event callback carries no context). It owns everything
// for the life of the process.
//
// Threads: the main thread runs Init, Run (plug-in lifecycle, status
// document, dispatch loop) and the destructor; the I/O thread runs io's
// handlers (signals, monitor tick, IPC). Members written once before other
// threads start (identity, documents' settings) need no lock; every other
// shared member is an atomic or lives in a subsystem that states its lock.
class DvrCore {
public:
  explicit DvrCore(std::string executablePath);
  ~DvrCore();
  DvrCore(const DvrCore&) = delete;
  DvrCore& operator=(const DvrCore&) = delete;

  bool Init(uint32_t descriptor);
  void Run();
  // Any thread, any number of times.
  void RequestStop();
  bool Stopping() const { return stopping_.load(std::memory_order_acquire) != 0; }

  // Event bus.
  uint32_t EventEntry(rk::core::EventParms& record);
  uint32_t queueEvent(const rk::core::EventParms& record);
  void Release(const void* payload, uint32_t index);
  bool searchRequest(const rk::core::EventParms& record) { return search.searchRequest(record); }

  // Plug-in set, main thread.
  void LoadPlugins();
  void OpenPlugins();
  void ClosePlugins();
  void UnloadPlugins();

  // Documents, main thread.
  void ReadConfiguration();
  void PublishStatus();
  void OnConfigDelta(const rk::core::EventParms& record);

  // Identity and settings: written by Init and ReadConfiguration before any
  // other thread of the core runs, read-only afterwards.
  std::string hostId;
  const std::string executablePath;
  std::string productName = kProductName;
  std::string version = kCoreVersion;

  Logger log;
  PluginRegistry plugins;
  EventQueue queue;
  CoreCounters counters;
  boost::asio::io_context io;
  IpcChannel ipc;
  SearchHandler search;
  MemoryMonitor memory;

  // The dispatch loop; returns once stopping and the queue is empty. Run
  // calls it; benchmarks drive it in-process.
  void DispatchLoop();

private:
  void ArmTimer(std::chrono::steady_clock::time_point expiry);
  void OnTimer(const boost::system::error_code& error);
  void ReportLeakedReferences();

  boost::asio::steady_timer timer_;
  std::atomic<bool> timerPending_{false}; // a wait is outstanding on timer_
  std::optional<boost::asio::signal_set> signals_;
  std::thread ioThread_;
  std::atomic<uint8_t> stopping_{0};
};

// The process-wide instance (set by main right after construction).
extern DvrCore* g_core;

// The callback handed to every plug-in at Load.
uint32_t PostEventCallback(rk::core::EventParms* record);
