#include "core/status_endpoint.h"

#include <fmt/format.h>
#include <unistd.h>

#include "events/event_bus.h"
#include "events/reference_block.h"
#include "http/listen_address.h"
#include "http/recent_lines.h"
#include "ipc/ipc_channel.h"
#include "log/core_log.h"
#include "log/logger.h"
#include "monitor/memory_monitor.h"
#include "pluginhost/plugin.h"
#include "util/core_counters.h"

namespace corvane {

namespace {

// Names of TotalCounters' type slots (bit positions); empty: not a type
// that is ever queued, shown only when counted.
constexpr const char* kTypeNames[TotalCounters::kTypeSlots] = {
    "video", "audio", "alarm", "ptz", "serial", "watchdog", "log", "",         "configuration",
    "",      "pos",   "",      "",    "",       "",         "",    "analytic", "other"};
constexpr const char* kLevelNames[TotalCounters::kLevelBands] = {"debug", "info", "warning",
                                                                 "error", "critical"};

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "corvane";
  return name;
}

} // namespace

StatusEndpoint::StatusEndpoint(boost::asio::io_context& io, Sources sources)
    : io_(io), s_(std::move(sources)), started_(std::chrono::steady_clock::now()),
      metrics_(s_.version) {}

void StatusEndpoint::Start(const std::string& listen) {
  std::string error;
  const auto endpoint = ParseListenAddress(listen, error);
  if (!endpoint) {
    LogError("Http: {}; the status endpoint is off", error);
    return;
  }
  HttpRoutes routes;
  routes.metrics = [this] { return metrics_.Render(Sample()); };
  routes.healthProblem = [this] { return HealthProblem(); };
  routes.status = [this] { return Status(); };
  routes.recentWarnings = [this] { return s_.warnings.Lines(); };
  server_.emplace(io_, std::move(routes));
  if (!server_->Start(*endpoint, error)) {
    LogError("Http: cannot listen on {}: {}; the status endpoint is off", listen, error);
    server_.reset();
    return;
  }
  LogInfo("Http: status endpoint on http://{}/", listen);
}

void StatusEndpoint::Stop() {
  if (server_) server_->Stop();
}

void StatusEndpoint::AttachSamplers(const PluginList& loaded) {
  for (const auto& plugin : loaded)
    plugin->onEventSampler =
        &metrics_.Sampler(fmt::format("{:02x}", plugin->Id()), plugin->fileName);
}

std::string StatusEndpoint::HealthProblem() const {
  if (s_.stopping.load(std::memory_order_acquire) != 0) return "stopping";
  if (s_.memory.Throttled()) return "throttled";
  if (!s_.ipc.HasChannel()) return "parent disconnected";
  return "";
}

MetricsSample StatusEndpoint::Sample() const {
  const TotalCounters& t = s_.counters.totals;
  MetricsSample sample;
  for (size_t slot = 0; slot < TotalCounters::kTypeSlots; ++slot) {
    const uint64_t n = TotalCounters::Get(t.queuedByType[slot]);
    if (kTypeNames[slot][0] != '\0')
      sample.eventsQueuedByType.emplace_back(kTypeNames[slot], n);
    else if (n != 0)
      sample.eventsQueuedByType.emplace_back(fmt::format("type{}", 1u << slot), n);
  }
  sample.postsRefusedStopping = TotalCounters::Get(t.refusedStopping);
  sample.postsRefusedThrottled = TotalCounters::Get(t.refusedThrottled);
  sample.searchResultsRefused = TotalCounters::Get(t.searchResultsRefused);
  const auto loaded = s_.plugins.Snapshot();
  for (const auto& plugin : *loaded) {
    sample.plugins.push_back({fmt::format("{:02x}", plugin->Id()), plugin->fileName,
                              plugin->deliveries.load(std::memory_order_relaxed)});
    if (plugin->openCode == 0) ++sample.pluginsOpened;
  }
  sample.pluginsLoaded = loaded->size();
  sample.ipcPacketsReceived = TotalCounters::Get(t.ipcReceived);
  sample.ipcPacketsSent = TotalCounters::Get(t.ipcSent);
  sample.ipcPacketsDropped = TotalCounters::Get(t.ipcDropped);
  sample.searchesStarted = TotalCounters::Get(t.searchesStarted);
  sample.searchesCancelled = TotalCounters::Get(t.searchesCancelled);
  sample.searchesPaced = TotalCounters::Get(t.searchesPaced);
  for (size_t band = 0; band < TotalCounters::kLevelBands; ++band)
    sample.logLinesByLevel.emplace_back(kLevelNames[band], TotalCounters::Get(t.logLines[band]));

  sample.queueDepth = s_.bus.Queue().Depth();
  sample.referenceBlocks = RefCounts().liveBlocks.load(std::memory_order_relaxed);
  sample.referenceBlockBytes = RefCounts().liveBytes.load(std::memory_order_relaxed);
  sample.heapInUseBytes = s_.memory.HeapInUse();
  sample.memoryLimitBytes = s_.memory.MemoryLimit();
  sample.throttled = s_.memory.Throttled();
  sample.parentConnected = s_.ipc.HasChannel();
  sample.uptimeSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  return sample;
}

nlohmann::json StatusEndpoint::Status() const {
  const MetricsSample sample = Sample();
  nlohmann::json status;
  status["server"] = HostName();
  status["version"] = s_.version;
  status["uptimeSeconds"] = sample.uptimeSeconds;
  const auto [parentFile, parentVersion] = s_.ipc.ParentTexts();
  status["parent"] = {
      {"connected", sample.parentConnected}, {"file", parentFile}, {"version", parentVersion}};
  nlohmann::json plugins = nlohmann::json::array();
  const auto loaded = s_.plugins.Snapshot();
  for (const auto& plugin : *loaded) {
    plugins.push_back({{"id", fmt::format("{:02x}", plugin->Id())},
                       {"file", plugin->fileName},
                       {"opened", plugin->openCode == 0},
                       {"openCode", plugin->openCode},
                       {"logLevel", s_.log.Stored(plugin->Id())}});
  }
  status["plugins"] = std::move(plugins);
  const FlatMetrics flat = Flatten(sample);
  nlohmann::json counters = nlohmann::json::object();
  for (const auto& [name, value] : flat.counters) counters[name] = value;
  nlohmann::json gauges = nlohmann::json::object();
  for (const auto& [name, value] : flat.gauges) gauges[name] = value;
  status["counters"] = std::move(counters);
  status["gauges"] = std::move(gauges);
  return status;
}

} // namespace corvane
