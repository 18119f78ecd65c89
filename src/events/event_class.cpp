#include "events/event_class.h"

using namespace rk::core;

namespace {
template <typename Leaf> std::any View(const EventParms& r) {
  return static_cast<const Leaf*>(&r);
}
} // namespace

std::any ClassOf(const EventParms& r) {
  const bool stored = IsStored(r);
  switch (BaseType(r)) {
  case RK_TYPE_VIDEO:
    if (stored) return View<StoredVideoEvt>(r);
    if (r.type == RK_TYPE_VIDEO && IsOutput(r)) return View<VideoOutEvt>(r);
    return View<VideoEvt>(r);
  case RK_TYPE_AUDIO:
    if (stored) return View<StoredAudioEvt>(r);
    if (r.type == RK_TYPE_AUDIO && IsOutput(r)) return View<AudioOutEvt>(r);
    return View<AudioEvt>(r);
  case RK_TYPE_ALARM:
    return stored ? View<StoredAlarmEvt>(r) : View<AlarmEvt>(r);
  case RK_TYPE_PTZ:
    return View<PTZEvt>(r);
  case RK_TYPE_SERIAL:
    return View<SerialEvt>(r);
  case RK_TYPE_WATCHDOG:
    return View<WatchdogEvt>(r);
  case RK_TYPE_CONFIG:
    return View<ConfigEvt>(r);
  case RK_TYPE_LOG:
    return stored ? View<StoredLogEvt>(r) : View<LogEvt>(r);
  case RK_TYPE_POS:
    return stored ? View<StoredPOSEvt>(r) : View<POSEvt>(r);
  case RK_TYPE_ANALYTIC:
    return stored ? View<StoredAnalyticEvt>(r) : View<AnalyticEvt>(r);
  default:
    return {};
  }
}
