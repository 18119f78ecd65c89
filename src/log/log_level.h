#pragma once
#include <cstdint>

// Severity scale shared by the core and plug-in log records; larger is graver.
enum LogLevel : int32_t {
  kLogDebug = 0,
  kLogInfo = 25,
  kLogWarning = 50,
  kLogError = 75,
  kLogCritical = 100,
};

// A stored threshold of -1 means "default", read as Info.
inline constexpr int32_t kLogLevelUnset = -1;
inline constexpr int32_t kLogLevelDefault = kLogInfo;
