#pragma once
#include "rk/core/plugin_api.h"

namespace corvane {

// Whether a plug-in (by its id and accept words) receives a queued record:
// the whole rule.
bool AcceptsRecord(const rk::core::PluginInfo& plugin, const rk::core::EventParms& record);

// The same, with the kinds whose rule is one accept bit answered here: the
// dispatch loop asks this for every plug-in and record.
inline bool Accepts(const rk::core::PluginInfo& plugin, const rk::core::EventParms& record) {
  using namespace rk::core;
  if ((record.flags & kStored) == 0) {
    switch (record.type) {
    case RK_TYPE_ALARM:
      return (plugin.acceptAlarm & RK_ACCEPT_LIVE) != 0;
    case RK_TYPE_PTZ:
      return (plugin.acceptPtz & RK_ACCEPT_LIVE) != 0;
    case RK_TYPE_SERIAL:
      return (plugin.acceptSerial & RK_ACCEPT_LIVE) != 0;
    case RK_TYPE_POS:
      return (plugin.acceptPos & RK_ACCEPT_LIVE) != 0;
    default:
      break;
    }
  }
  return AcceptsRecord(plugin, record);
}

} // namespace corvane
