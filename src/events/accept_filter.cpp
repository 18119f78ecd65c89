#include "events/accept_filter.h"

namespace corvane {

using namespace rk::core;

namespace {

bool Takes(uint64_t acceptWord) {
  return (acceptWord & RK_ACCEPT_LIVE) != 0;
}

// Video and audio share one rule, with their own exact type and accept word.
bool AcceptsMedia(const PluginInfo& p, const EventParms& r, uint64_t exactType, uint64_t word) {
  const bool pNone = p.pluginId == kIdNone;
  const bool rNone = r.source == kIdNone;
  if (!pNone) {
    if (r.type == exactType) {
      if (!rNone && SamePlugin(r.source, p.pluginId)) return IsOutput(r);
      return Takes(word);
    }
    // With the modifier bit: never to a plug-in whose key is 0.
    if (PluginKey(p.pluginId) == 0) return false;
    return Takes(word);
  }
  if (r.type == exactType && rNone) return IsOutput(r);
  return Takes(word);
}

} // namespace

bool AcceptsRecord(const PluginInfo& p, const EventParms& r) {
  if (IsStored(r)) return PluginKey(r.request & 0xFFFFFFFFu) == PluginKey(p.pluginId);
  const bool same = SamePlugin(r.source, p.pluginId);
  switch (BaseType(r)) {
  case RK_TYPE_VIDEO:
    return AcceptsMedia(p, r, RK_TYPE_VIDEO, p.acceptVideo);
  case RK_TYPE_AUDIO:
    return AcceptsMedia(p, r, RK_TYPE_AUDIO, p.acceptAudio);
  case RK_TYPE_ALARM:
    return Takes(p.acceptAlarm);
  case RK_TYPE_PTZ:
    return Takes(p.acceptPtz);
  case RK_TYPE_SERIAL:
    return Takes(p.acceptSerial);
  case RK_TYPE_WATCHDOG:
    return same;
  case RK_TYPE_LOG:
    if (p.pluginId == kIdNone && r.source == kIdNone) return false;
    if (p.pluginId != kIdNone && r.source != kIdNone && same) return false;
    return Takes(p.acceptLog);
  case RK_TYPE_CONFIG:
    return same ? r.echoToSource != 0 : true;
  case RK_TYPE_POS:
    return Takes(p.acceptPos);
  case RK_TYPE_ANALYTIC:
    return same ? r.echoToSource != 0 : Takes(p.acceptAnalytic);
  default:
    return false;
  }
}

} // namespace corvane
