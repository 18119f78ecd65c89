#pragma once
#include "rk/core/plugin_api.h"

namespace corvane {

// Whether a plug-in (by its id and accept words) receives a queued record.
bool Accepts(const rk::core::PluginInfo& plugin, const rk::core::EventParms& record);

} // namespace corvane
