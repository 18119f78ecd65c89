#include "events/dispatch_timing.h"

#include "rk/core/event_parms.h"

namespace corvane {

// One line per category reads as the table it is.
// clang-format off
const char* DispatchCategory(uint64_t type) {
  switch (type & ~uint64_t{RK_TYPE_MODIFIER}) {
  case RK_TYPE_UNSPECIFIED: return "unspecified";
  case RK_TYPE_VIDEO: return "video";
  case RK_TYPE_AUDIO: return "audio";
  case RK_TYPE_ALARM: return "alarm";
  case RK_TYPE_PTZ: return "ptz";
  case RK_TYPE_SERIAL: return "serial";
  case RK_TYPE_WATCHDOG: return "watchdog";
  case RK_TYPE_LOG: return "log";
  case RK_TYPE_CONFIG: return "config";
  case RK_TYPE_DECREF: return "decref";
  case RK_TYPE_POS: return "pos";
  case RK_TYPE_CANCEL: return "cancel";
  case RK_TYPE_IPC: return "ipc";
  case RK_TYPE_CRYPTO: return "crypto";
  case RK_TYPE_ANALYTIC: return "analytic";
  default: return "unknown";
  }
}
// clang-format on

} // namespace corvane
