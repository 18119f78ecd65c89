#include "log/core_log.h"

#include <atomic>

#include "log/logger.h"

namespace corvane {

using namespace rk::core;

namespace {
// Any thread reads it; the core writes it while no other thread logs.
std::atomic<LogSink*> g_sink{nullptr};
} // namespace

void InstallLogSink(LogSink* sink) {
  g_sink.store(sink, std::memory_order_release);
}

int32_t CoreLogThreshold() {
  const LogSink* sink = g_sink.load(std::memory_order_acquire);
  return sink != nullptr ? sink->Thresholds().Stored(kIdCore) : kLogLevelUnset;
}

std::string& ThreadLogBuffer() {
  thread_local std::string buffer = [] {
    std::string text;
    text.reserve(2048);
    return text;
  }();
  return buffer;
}

uint32_t LogText(int32_t level, const char* text, size_t length) {
  LogSink* sink = g_sink.load(std::memory_order_acquire);
  if (length == 0 || sink == nullptr) return 0;
  LogEvt record;
  record.source = kIdNone;
  record.flags = kLive | RK_FLAG_CONSOLE;
  record.level = static_cast<uint32_t>(level);
  record.length = static_cast<uint32_t>(length);
  record.data = text;
  return sink->PostLog(record);
}

} // namespace corvane
