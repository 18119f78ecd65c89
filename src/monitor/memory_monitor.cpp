#include "monitor/memory_monitor.h"

#include <cstdlib>
#include <memory>
#include <rapidxml/rapidxml.hpp>

#include "config/xml_writer.h"
#include "log/core_log.h"
#include "log/format_size.h"
#include "rk/core/core_ids.h"

namespace corvane {

using namespace rk::core;

namespace {

constexpr uint64_t kSmallMachine = 0xC0000000ULL;   // 3 GiB
constexpr uint64_t kUnknownMachine = 0x80000000ULL; // 2 GiB
constexpr int64_t kEpisodeNs = 60'000'000'000;
constexpr int64_t kCheckIntervalNs = 999'999'999;
constexpr int64_t kSameInstantNs = 999'999;
constexpr int64_t kOneDayNs = 86'400'000'000'000;

template <typename TimePoint> int64_t Ns(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

} // namespace

MemoryMonitor::MemoryMonitor(QueueFn queue)
    : queue_(std::move(queue)), environment_(&MonitorEnvironment::System()) {}

uint64_t MemoryMonitor::MemoryLimitFor(std::optional<uint64_t> totalRam) {
  if (!totalRam) return kUnknownMachine;
  if (*totalRam > kSmallMachine) return 80 * (*totalRam / 100);
  return *totalRam;
}

std::string MemoryMonitor::MemoryEventText(bool throttled,
                                           std::chrono::steady_clock::time_point now) {
  using std::chrono::duration_cast;
  const auto sinceEpoch = now.time_since_epoch();
  const std::string seconds =
      std::to_string(duration_cast<std::chrono::seconds>(sinceEpoch).count());
  const std::string milliseconds =
      std::to_string(duration_cast<std::chrono::milliseconds>(sinceEpoch).count());

  // The document object carries its 64 KiB pool; keep it off the I/O stack.
  const auto document = std::make_unique<rapidxml::xml_document<char>>();
  document->append_node(document->allocate_node(rapidxml::node_declaration));
  auto* varn = document->allocate_node(rapidxml::node_element, "Varn");
  document->append_node(varn);
  auto* memory = document->allocate_node(rapidxml::node_element, "Memory");
  varn->append_node(memory);
  memory->append_attribute(document->allocate_attribute("ID", kCoreDocumentId));
  memory->append_attribute(document->allocate_attribute("Throttling", throttled ? "1" : "0"));
  memory->append_attribute(document->allocate_attribute("Time", seconds.c_str()));
  memory->append_attribute(document->allocate_attribute("mseTime", milliseconds.c_str()));
  return PrintXmlText(*document, 128);
}

void MemoryMonitor::SendMemoryEvent() {
  const std::string text = MemoryEventText(Throttled(), environment_->SteadyNow());
  AlarmEvt record;
  record.flags = kLiveXml;
  record.source = kIdNone;
  record.data = text.data();
  record.length = static_cast<uint32_t>(text.size());
  queue_(record);
}

void MemoryMonitor::SetThrottle(bool low) {
  throttle_.store(low ? 1 : 0, std::memory_order_relaxed);
  const int64_t now = Ns(environment_->SteadyNow());
  if (low) {
    if (lowSinceNs_ == kNoEpisode) {
      LogWarning("available system memory is low, throttling audio/video");
      SendMemoryEvent();
    }
    lowSinceNs_ = now;
    return;
  }
  // Also true when no episode is open: lowSinceNs_ is then the maximum.
  if (now - kEpisodeNs < lowSinceNs_) return;
  LogWarning("available system memory ok, not throttling audio/video");
  SendMemoryEvent();
  lowSinceNs_ = kNoEpisode;
}

std::optional<uint64_t> MemoryMonitor::SampleHeap() {
  const MonitorEnvironment::HeapFigures figures = environment_->Heap();
  if (figures.allocated > figures.heapSize) {
    // A confused allocator must not end the process or the tick: skip it.
    LogError("reported heap allocation out of range: {}", figures.allocated);
    return std::nullopt;
  }
  return figures.allocated;
}

void MemoryMonitor::CheckMemory() {
  const std::optional<uint64_t> inUse = SampleHeap();
  if (!inUse) return;
  heapInUse_.store(*inUse, std::memory_order_relaxed);
  if (ThrottlingEnabled()) SetThrottle(memoryLimit_ < *inUse);
}

void MemoryMonitor::Tick() {
  if (!started_) {
    memoryLimit_ = MemoryLimitFor(environment_->TotalRam());
    stackLimit_ = environment_->StackLimit();
  }
  const int64_t now = Ns(environment_->SteadyNow());
  const int64_t system = Ns(environment_->SystemNow());
  if (!started_) {
    lastCheckNs_ = now;
    lastSystemNs_ = system;
    started_ = true;
  }

  const int64_t sinceCheck = now - lastCheckNs_;
  if ((sinceCheck >= -kSameInstantNs && sinceCheck <= kSameInstantNs) || sinceCheck >= kOneDayNs) {
    // RLIM_INFINITY reads as -1.
    LogInfo("memory limits, throttling:{} stack:{}", FormatSize(static_cast<int64_t>(memoryLimit_)),
            FormatSize(static_cast<int64_t>(stackLimit_)));
  }
  if (sinceCheck <= kCheckIntervalNs) return;

  // Both clocks advance alike over a stall; only a difference is a jump.
  const int64_t systemMs = (system - lastSystemNs_) / 1'000'000;
  const int64_t steadyMs = sinceCheck / 1'000'000;
  if (steadyMs + 999 < std::llabs(systemMs)) {
    LogWarning("system time changed by {:.2f}seconds", static_cast<double>(systemMs) / 1000.0);
  }
  lastSystemNs_ = system;
  CheckMemory();
  lastCheckNs_ = now;
}

} // namespace corvane
