#pragma once
// Retention: segments whose last frame is older than MaxDays go, then the
// oldest go while all segments together pass MaxBytes; file first, then row,
// one log line each. Open segments (not complete) are never touched.
#include <cstdint>
#include <string>

#include "catalogue.h"
#include "recorder_config.h"
#include "recorder_log.h"

namespace recorder {

// Returns how many segments were removed.
size_t ApplyRetention(Catalogue& catalogue, const std::string& root, const RecorderConfig& config,
                      int64_t nowMicros, const LogFn& log);

} // namespace recorder
