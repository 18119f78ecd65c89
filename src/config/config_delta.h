#pragma once
#include "rk/core/event_parms.h"

namespace corvane {

class Logger;

// Whether a record has the shape of a configuration delta from a plug-in (a
// status-shaped XML document marked Delta="1"); cheap, parses nothing.
bool IsConfigDelta(const rk::core::EventParms& record);
// Applies a delta's log levels to `log`; true when any stored threshold
// changed. A record that is no delta, or does not parse, changes nothing.
bool ApplyConfigDelta(const rk::core::EventParms& record, Logger& log);

} // namespace corvane
