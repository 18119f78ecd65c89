#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T> class Family;
} // namespace prometheus

namespace corvane {

// What the core's modules have counted, read at scrape time. Counters are
// totals since start (monotonic); gauges are the value now.
struct MetricsSample {
  struct Plugin {
    std::string id;   // two hex digits, as in log lines
    std::string file; // e.g. "RuzUZ.so"
    uint64_t deliveries = 0;
  };
  std::vector<std::pair<std::string, uint64_t>> eventsQueuedByType; // type name, events
  uint64_t postsRefusedStopping = 0;
  uint64_t postsRefusedThrottled = 0;
  uint64_t searchResultsRefused = 0;
  std::vector<Plugin> plugins;
  uint64_t ipcPacketsReceived = 0;
  uint64_t ipcPacketsSent = 0;
  uint64_t ipcPacketsDropped = 0;
  uint64_t searchesStarted = 0;
  uint64_t searchesCancelled = 0;
  uint64_t searchesPaced = 0;
  std::vector<std::pair<std::string, uint64_t>> logLinesByLevel; // level name, lines

  uint64_t queueDepth = 0;
  uint64_t referenceBlocks = 0;
  uint64_t referenceBlockBytes = 0;
  uint64_t heapInUseBytes = 0;
  uint64_t memoryLimitBytes = 0;
  bool throttled = false;
  uint64_t pluginsLoaded = 0;
  uint64_t pluginsOpened = 0;
  bool parentConnected = false;
  double uptimeSeconds = 0;
};

// The same values by exposition name ("corvane_ipc_packets_sent_total",
// labelled ones as `name{label="value"}`), for the status document.
struct FlatMetrics {
  std::vector<std::pair<std::string, double>> counters;
  std::vector<std::pair<std::string, double>> gauges;
};
FlatMetrics Flatten(const MetricsSample& sample);

// Times one plug-in's OnEvent calls, one call in kEvery, so that the event
// path pays for two clock readings and a histogram update (a lock) only that
// often: a plug-in taking a thousand events a second still gets fifteen
// samples a second.
// Threads: Due and Observe on the dispatch thread only.
class OnEventSampler {
public:
  static constexpr uint32_t kEvery = 256;

  explicit OnEventSampler(prometheus::Histogram& histogram) : histogram_(histogram) {}
  bool Due() { return (++calls_ & (kEvery - 1)) == 0; }
  void Observe(std::chrono::nanoseconds elapsed);

private:
  prometheus::Histogram& histogram_; // owned by the registry, locks itself
  uint32_t calls_ = 0;               // dispatch thread only
};

// The core's metric families in a prometheus-cpp registry, and their text
// exposition.
class CoreMetrics {
public:
  explicit CoreMetrics(const std::string& version);
  ~CoreMetrics();
  CoreMetrics(const CoreMetrics&) = delete;
  CoreMetrics& operator=(const CoreMetrics&) = delete;

  // The OnEvent sampler of a plug-in (made on first use, then the same one).
  // Any thread; the sampler lives as long as this object.
  OnEventSampler& Sampler(const std::string& id, const std::string& file);

  // Prometheus text exposition format 0.0.4 of `sample` and the samplers'
  // histograms. One caller at a time (the I/O thread).
  std::string Render(const MetricsSample& sample);

private:
  // A counter fed from an outside total: incremented by the growth since the
  // last scrape.
  struct Total {
    prometheus::Counter* counter = nullptr;
    uint64_t seen = 0;
  };
  using Labels = std::map<std::string, std::string>;

  std::shared_ptr<prometheus::Registry> registry_;
  // Made in the constructor, by family name; the registry owns them.
  std::map<std::string, prometheus::Family<prometheus::Counter>*> counters_;
  std::map<std::string, prometheus::Family<prometheus::Gauge>*> gauges_;
  prometheus::Family<prometheus::Histogram>* onEvent_ = nullptr;
  // Render's caller only.
  std::map<std::pair<std::string, Labels>, Total> totals_;

  std::mutex samplersMutex_;                                        // guards samplers_
  std::map<std::string, std::unique_ptr<OnEventSampler>> samplers_; // by plug-in id + file
};

} // namespace corvane
