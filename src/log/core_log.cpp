#include "log/core_log.h"

#include "core/dvr_core.h"

using namespace rk::core;

int32_t CoreLogThreshold() {
  const DvrCore* core = g_core;
  return core != nullptr ? core->log.Stored(0) : kLogLevelUnset;
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
  DvrCore* core = g_core;
  if (length == 0 || core == nullptr) return 0;
  LogEvt record;
  record.source = kIdNone;
  record.flags = kLive | RK_FLAG_CONSOLE;
  record.level = static_cast<uint32_t>(level);
  record.length = static_cast<uint32_t>(length);
  record.data = text;
  return core->EventEntry(record);
}
