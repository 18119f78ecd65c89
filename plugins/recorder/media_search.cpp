#include "media_search.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "catalogue.h"
#include "recorded_range.h"

using namespace rk::core;

namespace recorder {

namespace {

// One camera's video or audio, with the next frame read ahead for the merge.
struct Source {
  uint32_t camera;
  std::unique_ptr<RecordedRange> range;
  std::optional<StoredFrame> head;
  void Advance() {
    StoredFrame frame;
    if (range->Next(frame)) {
      head = std::move(frame);
    } else {
      head.reset();
    }
  }
};

// Microseconds since the epoch at `rate` ticks a second, without overflow.
int64_t Ticks(int64_t micros, int64_t rate) {
  return micros / 1000000 * rate + micros % 1000000 * rate / 1000000;
}

void FillTime(EventParms& e, int64_t micros) {
  e.media.seconds = static_cast<uint64_t>(micros / 1000000);
  e.media.milliseconds = static_cast<uint16_t>((micros / 1000) % 1000);
  MediaInfoOf(e).captureMicros = micros;
}

} // namespace

SearchOutcome AnswerMediaSearch(const std::string& root, const MediaSearch& criteria,
                                const EventParms& request, uint64_t ownId, PostEventFn post,
                                const std::atomic<bool>& stopping, const LogFn& log) {
  SearchOutcome outcome;
  std::string error;
  auto catalogue = Catalogue::Open(root, false, error);
  std::vector<Source> sources; // a camera's video before its audio: video wins a tie
  std::vector<AlarmRow> alarms;
  const bool video = (criteria.kinds & RK_MEDIA_KIND_VIDEO) != 0;
  const bool audio = (criteria.kinds & RK_MEDIA_KIND_AUDIO) != 0;
  if (catalogue == nullptr) {
    log(kWarning, "recorder: search: " + error);
  } else {
    if (video || audio) {
      std::map<uint32_t, std::vector<SegmentRow>> byCamera;
      for (SegmentRow& row :
           catalogue->Segments(criteria.camera, criteria.fromMicros, criteria.toMicros))
        byCamera[row.camera].push_back(std::move(row));
      for (auto& [camera, rows] : byCamera) {
        int64_t audioFrom = criteria.fromMicros;
        if (video) {
          Source source{
              camera,
              std::make_unique<RecordedRange>(root, rows, criteria.fromMicros, criteria.toMicros),
              std::nullopt};
          source.Advance();
          if (source.head) audioFrom = std::min(audioFrom, source.head->micros);
          sources.push_back(std::move(source));
        }
        if (audio) {
          Source source{camera,
                        std::make_unique<RecordedRange>(root, std::move(rows), audioFrom,
                                                        criteria.toMicros, Track::Audio),
                        std::nullopt};
          source.Advance();
          sources.push_back(std::move(source));
        }
      }
    }
    if ((criteria.kinds & RK_MEDIA_KIND_ALARMS) != 0)
      alarms = catalogue->Alarms(criteria.camera, criteria.fromMicros, criteria.toMicros);
  }

  size_t nextAlarm = 0;
  for (;;) {
    if (stopping.load()) {
      outcome.cancelled = true;
      return outcome;
    }
    Source* earliest = nullptr;
    for (Source& v : sources)
      if (v.head && (earliest == nullptr || v.head->micros < earliest->head->micros)) earliest = &v;
    const bool alarmFirst =
        nextAlarm < alarms.size() &&
        (earliest == nullptr || alarms[nextAlarm].timeMicros <= earliest->head->micros);
    if (earliest == nullptr && !alarmFirst) break;
    if (alarmFirst) {
      const AlarmRow& alarm = alarms[nextAlarm++];
      StoredAlarmEvt e;
      e.source = ownId;
      e.request = request.request;
      e.data = alarm.text.data();
      e.length = static_cast<uint32_t>(alarm.text.size());
      MediaInfoOf(e).camera = alarm.camera;
      MediaInfoOf(e).captureMicros = alarm.timeMicros; // when the recorder received it
      if (post(&e) != RK_POST_OK) {
        outcome.cancelled = true;
        return outcome;
      }
      ++outcome.alarms;
      continue;
    }
    const StoredFrame& frame = *earliest->head;
    EventParms e;
    InitEvent(e);
    e.type = frame.audio ? RK_TYPE_AUDIO : RK_TYPE_VIDEO;
    e.flags = RK_FLAG_STORED;
    e.source = ownId;
    e.request = request.request; // the search id routes the result to the requester
    e.data = frame.data.data();
    e.length = static_cast<uint32_t>(frame.data.size());
    e.media.frameType = frame.key ? RK_FRAME_KEY : 2;
    MediaInfo& info = MediaInfoOf(e);
    info.camera = earliest->camera;
    info.codec = frame.codec;
    info.width = frame.width;
    info.height = frame.height;
    info.pts = Ticks(frame.micros, frame.audio ? frame.sampleRate : 90000);
    FillTime(e, frame.micros);
    // Blocks until the previous result was consumed; 1: cancelled or stopping.
    if (post(&e) != RK_POST_OK) {
      outcome.cancelled = true;
      return outcome;
    }
    ++(frame.audio ? outcome.audioFrames : outcome.frames);
    earliest->Advance();
  }
  for (const Source& v : sources)
    for (const std::string& e : v.range->errors()) log(kWarning, "recorder: search: " + e);

  EventParms end;
  InitEvent(end);
  end.type = (criteria.kinds & RK_MEDIA_KIND_VIDEO) != 0   ? RK_TYPE_VIDEO
             : (criteria.kinds & RK_MEDIA_KIND_AUDIO) != 0 ? RK_TYPE_AUDIO
                                                           : RK_TYPE_ALARM;
  end.flags = RK_FLAG_STORED;
  end.source = ownId;
  end.request = request.request;
  MediaInfoOf(end).camera = criteria.camera;
  MediaInfoOf(end).mediaInfoFlags = RK_MEDIA_INFO_END;
  if (post(&end) != RK_POST_OK) outcome.cancelled = true;
  return outcome;
}

} // namespace recorder
