#pragma once
#include <cstdint>

#include "rk/core/core_ids.h"

namespace corvane {

// Severity scale shared by the core and plug-in log records; larger is graver.
enum LogLevel : int32_t {
  kLogDebug = RK_LOG_DEBUG,
  kLogInfo = RK_LOG_INFO,
  kLogWarning = RK_LOG_WARNING,
  kLogError = RK_LOG_ERROR,
  kLogCritical = RK_LOG_CRITICAL,
};

// A stored threshold of -1 means "default", read as Info.
inline constexpr int32_t kLogLevelUnset = RK_LOG_LEVEL_UNSET;
inline constexpr int32_t kLogLevelDefault = kLogInfo;

} // namespace corvane
