#pragma once
// Answers one media search from the catalogue and the segment files, on the
// search thread the core started: the video of each camera asked, from the
// key frame at or before `fromMicros`, its audio, and the stored alarms in
// the range, merged in time order, then the end record. Audio starts with the
// camera's video when both are asked (at the key frame), else at the first
// audio frame at or after `fromMicros`: every audio frame decodes alone. Each post blocks until the
// previous result was consumed (the core paces providers); a post refused
// (the search was cancelled, or the core stops) ends the search at once,
// without an end record.
#include <atomic>
#include <cstdint>
#include <string>

#include "recorder_log.h"
#include "rk/core/sdk.h"

namespace recorder {

struct SearchOutcome {
  uint64_t frames = 0; // video
  uint64_t audioFrames = 0;
  uint64_t alarms = 0;
  bool cancelled = false; // a post was refused
};

// `request` is the search request as the core handed it; `ownId` the
// plug-in's id word; `stopping` ends the search between two results.
SearchOutcome AnswerMediaSearch(const std::string& root, const rk::core::MediaSearch& criteria,
                                const rk::core::EventParms& request, uint64_t ownId,
                                rk::core::PostEventFn post, const std::atomic<bool>& stopping,
                                const LogFn& log);

} // namespace recorder
