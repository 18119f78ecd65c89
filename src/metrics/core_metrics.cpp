#include "metrics/core_metrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace corvane {

namespace {

using Labels = std::map<std::string, std::string>;

struct Description {
  const char* name;
  const char* help;
};

constexpr Description kCounters[] = {
    {"corvane_events_queued_total",
     "Events queued for dispatch, by type (counted as dispatch takes them)."},
    {"corvane_posts_refused_total", "Posts refused, by reason."},
    {"corvane_plugin_deliveries_total", "Events delivered to a plug-in's OnEvent."},
    {"corvane_ipc_packets_received_total", "Packets received from the parent."},
    {"corvane_ipc_packets_sent_total", "Packets sent to the parent."},
    {"corvane_ipc_packets_dropped_total", "Packets dropped on the way to or from the parent."},
    {"corvane_searches_started_total", "Stored-data searches started."},
    {"corvane_searches_cancelled_total", "Stored-data searches cancelled."},
    {"corvane_searches_paced_total", "Times a search provider was paced."},
    {"corvane_log_lines_total", "Lines logged, by level."},
};

constexpr Description kGauges[] = {
    {"corvane_event_queue_depth", "Events waiting for dispatch."},
    {"corvane_reference_blocks", "Live payload reference blocks."},
    {"corvane_reference_block_bytes", "Bytes held by live reference blocks."},
    {"corvane_heap_in_use_bytes", "Heap in use."},
    {"corvane_memory_limit_bytes", "Heap use above which live audio and video are throttled."},
    {"corvane_throttled", "1 while live audio and video are throttled."},
    {"corvane_plugins_loaded", "Plug-ins loaded."},
    {"corvane_plugins_opened", "Plug-ins opened."},
    {"corvane_parent_connected", "1 while the parent daemon is connected."},
    {"corvane_uptime_seconds", "Seconds since the core started."},
};

// Every value of a sample with its family and labels, in exposition order.
template <typename Counter, typename Gauge>
void Visit(const MetricsSample& s, Counter&& counter, Gauge&& gauge) {
  for (const auto& [type, n] : s.eventsQueuedByType)
    counter("corvane_events_queued_total", Labels{{"type", type}}, n);
  counter("corvane_posts_refused_total", Labels{{"reason", "stopping"}}, s.postsRefusedStopping);
  counter("corvane_posts_refused_total", Labels{{"reason", "throttled"}}, s.postsRefusedThrottled);
  counter("corvane_posts_refused_total", Labels{{"reason", "search_result_refused"}},
          s.searchResultsRefused);
  for (const auto& plugin : s.plugins)
    counter("corvane_plugin_deliveries_total", Labels{{"plugin", plugin.id}, {"file", plugin.file}},
            plugin.deliveries);
  counter("corvane_ipc_packets_received_total", Labels{}, s.ipcPacketsReceived);
  counter("corvane_ipc_packets_sent_total", Labels{}, s.ipcPacketsSent);
  counter("corvane_ipc_packets_dropped_total", Labels{}, s.ipcPacketsDropped);
  counter("corvane_searches_started_total", Labels{}, s.searchesStarted);
  counter("corvane_searches_cancelled_total", Labels{}, s.searchesCancelled);
  counter("corvane_searches_paced_total", Labels{}, s.searchesPaced);
  for (const auto& [level, n] : s.logLinesByLevel)
    counter("corvane_log_lines_total", Labels{{"level", level}}, n);

  gauge("corvane_event_queue_depth", static_cast<double>(s.queueDepth));
  gauge("corvane_reference_blocks", static_cast<double>(s.referenceBlocks));
  gauge("corvane_reference_block_bytes", static_cast<double>(s.referenceBlockBytes));
  gauge("corvane_heap_in_use_bytes", static_cast<double>(s.heapInUseBytes));
  gauge("corvane_memory_limit_bytes", static_cast<double>(s.memoryLimitBytes));
  gauge("corvane_throttled", s.throttled ? 1.0 : 0.0);
  gauge("corvane_plugins_loaded", static_cast<double>(s.pluginsLoaded));
  gauge("corvane_plugins_opened", static_cast<double>(s.pluginsOpened));
  gauge("corvane_parent_connected", s.parentConnected ? 1.0 : 0.0);
  gauge("corvane_uptime_seconds", s.uptimeSeconds);
}

std::string Key(const std::string& name, const Labels& labels) {
  if (labels.empty()) return name;
  std::string key = name + "{";
  for (const auto& [label, value] : labels) {
    if (key.back() != '{') key += ',';
    key += label + "=\"" + value + "\"";
  }
  return key + "}";
}

// OnEvent times from a microsecond to a second.
const prometheus::Histogram::BucketBoundaries kOnEventBuckets = {
    1e-6, 5e-6, 1e-5, 5e-5, 1e-4, 5e-4, 1e-3, 5e-3, 1e-2, 5e-2, 0.1, 0.5, 1.0};

} // namespace

FlatMetrics Flatten(const MetricsSample& sample) {
  FlatMetrics flat;
  Visit(
      sample,
      [&](const std::string& name, const Labels& labels, uint64_t value) {
        flat.counters.emplace_back(Key(name, labels), static_cast<double>(value));
      },
      [&](const std::string& name, double value) { flat.gauges.emplace_back(name, value); });
  return flat;
}

void OnEventSampler::Observe(std::chrono::nanoseconds elapsed) {
  histogram_.Observe(std::chrono::duration<double>(elapsed).count());
}

CoreMetrics::CoreMetrics(const std::string& version)
    : registry_(std::make_shared<prometheus::Registry>()) {
  for (const auto& d : kCounters)
    counters_[d.name] = &prometheus::BuildCounter().Name(d.name).Help(d.help).Register(*registry_);
  for (const auto& d : kGauges)
    gauges_[d.name] = &prometheus::BuildGauge().Name(d.name).Help(d.help).Register(*registry_);
  onEvent_ = &prometheus::BuildHistogram()
                  .Name("corvane_plugin_on_event_duration_seconds")
                  .Help("Time spent in a plug-in's OnEvent, one call in 64 timed.")
                  .Register(*registry_);
  prometheus::BuildGauge()
      .Name("corvane_build_info")
      .Help("The core's version; always 1.")
      .Register(*registry_)
      .Add({{"version", version}})
      .Set(1);
}

CoreMetrics::~CoreMetrics() = default;

OnEventSampler& CoreMetrics::Sampler(const std::string& id, const std::string& file) {
  std::lock_guard lock(samplersMutex_);
  auto& sampler = samplers_[id + '\n' + file];
  if (!sampler)
    sampler = std::make_unique<OnEventSampler>(
        onEvent_->Add({{"plugin", id}, {"file", file}}, kOnEventBuckets));
  return *sampler;
}

std::string CoreMetrics::Render(const MetricsSample& sample) {
  Visit(
      sample,
      [&](const std::string& name, const Labels& labels, uint64_t value) {
        Total& total = totals_[{name, labels}];
        if (total.counter == nullptr) total.counter = &counters_.at(name)->Add(labels);
        // A total that went back (a plug-in reloaded under the same id)
        // starts over without taking back what was counted.
        if (value < total.seen) total.seen = 0;
        if (value > total.seen) total.counter->Increment(static_cast<double>(value - total.seen));
        total.seen = value;
      },
      [&](const std::string& name, double value) { gauges_.at(name)->Add({}).Set(value); });
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

} // namespace corvane
