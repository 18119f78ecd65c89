#pragma once
// The status endpoint as the core serves it: what /metrics, /healthz and
// /api/status show, read from the modules' counters and state when asked.
//
// Threads: built, started and stopped by the main thread while the I/O
// thread is not running; its routes run on the I/O thread, which reads the
// modules only through their thread-safe calls, atomics and the registry's
// snapshot. AttachSamplers runs on the main thread before the dispatch loop.
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <optional>
#include <string>

#include "http/http_server.h"
#include "metrics/core_metrics.h"
#include "pluginhost/plugin_registry.h"

namespace corvane {

class EventBus;
class IpcChannel;
class Logger;
class MemoryMonitor;
class RecentLines;
struct CoreCounters;

class StatusEndpoint {
public:
  struct Sources {
    Logger& log;
    PluginRegistry& plugins;
    CoreCounters& counters;
    EventBus& bus;
    IpcChannel& ipc;
    MemoryMonitor& memory;
    RecentLines& warnings;
    const std::atomic<uint8_t>& stopping;
    std::string version;
  };
  StatusEndpoint(boost::asio::io_context& io, Sources sources);

  // Serves at `listen` ("Listen" of core.xml's "Http"); a bad value or an
  // address that cannot be bound is logged at Error and nothing is served.
  void Start(const std::string& listen);
  // Closes the listening socket and every connection.
  void Stop();
  // Gives each loaded plug-in its OnEvent sampler.
  void AttachSamplers(const PluginList& loaded);

private:
  MetricsSample Sample() const;
  nlohmann::json Status() const;
  std::string HealthProblem() const;

  boost::asio::io_context& io_;
  Sources s_;
  const std::chrono::steady_clock::time_point started_;
  CoreMetrics metrics_;
  std::optional<HttpServer> server_;
};

} // namespace corvane
