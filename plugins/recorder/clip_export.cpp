#include "clip_export.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "annexb.h"
#include "audio_format.h"
#include "catalogue.h"
#include "recorded_range.h"
#include "segment_writer.h"
#include "utc_time.h"

namespace recorder {

ExportResult ExportClip(const std::string& root, uint32_t camera, int64_t fromMicros,
                        int64_t toMicros, const std::string& output) {
  ExportResult result;
  std::string error;
  auto catalogue = Catalogue::Open(root, false, error);
  if (catalogue == nullptr) {
    result.message = "cannot read the catalogue: " + error;
    return result;
  }
  const std::vector<SegmentRow> rows = catalogue->Segments(camera, fromMicros, toMicros);
  RecordedRange range(root, rows, fromMicros, toMicros);
  std::unique_ptr<RecordedRange> audio; // from the clip's first frame on
  std::optional<StoredFrame> sound;     // the next audio frame to write
  std::optional<AudioParams> audioParams;
  const std::string partial = output + ".part";
  std::unique_ptr<SegmentWriter> writer;
  auto fail = [&](const std::string& reason) {
    writer.reset();
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    result.status = ExportResult::kFailed;
    result.message = output + ": " + reason;
    return result;
  };
  auto note = [&](const std::string& text) {
    result.message += (result.message.empty() ? "" : "; ") + text;
  };
  // Writes the audio up to `until`; false when the writer failed.
  std::vector<AudioSample> samples;
  auto writeSound = [&](int64_t until) {
    while (sound && sound->micros <= until) {
      std::string why;
      const auto params = AudioParamsOf(sound->codec, sound->data.data(), sound->data.size(), why);
      if (!params || !audioParams->Takes(*params) ||
          !AudioSamples(sound->codec, sound->data.data(), sound->data.size(), samples)) {
        note("the audio changes at " + IsoUtc(sound->micros) + ": the clip's sound ends there");
        sound.reset();
        break;
      }
      int64_t offset = 0;
      for (const AudioSample& s : samples) {
        // The writer follows the pts from the first frame's capture time; any clock will do.
        const int64_t pts =
            (sound->micros - result.firstMicros) * audioParams->sampleRate / 1000000 + offset;
        if (!writer->WriteAudio(s.data, s.length,
                                sound->micros + offset * 1000000 / audioParams->sampleRate, pts,
                                s.samples))
          return false;
        offset += s.samples;
      }
      if (!audio->Next(*sound)) sound.reset();
    }
    return true;
  };
  StoredFrame frame;
  StreamParams params;
  bool cut = false; // the clip ends before `toMicros`
  while (range.Next(frame)) {
    if (writer == nullptr) {
      params.codec = frame.codec;
      params.width = frame.width;
      params.height = frame.height;
      params.parameterSets = ParameterSets(frame.data.data(), frame.data.size(), frame.codec);
      audio = std::make_unique<RecordedRange>(root, rows, frame.micros, toMicros, Track::Audio);
      StoredFrame first;
      std::string why;
      if (audio->Next(first)) {
        audioParams = AudioParamsOf(first.codec, first.data.data(), first.data.size(), why);
        if (audioParams) sound = std::move(first);
      }
      bool full = false;
      writer = SegmentWriter::Create(partial, params, frame.micros, SegmentWriter::Layout::Whole,
                                     error, full, audioParams ? &*audioParams : nullptr);
      if (writer == nullptr) return fail(error);
      result.firstMicros = frame.micros;
    } else if (frame.codec != params.codec || frame.width != params.width ||
               frame.height != params.height) {
      // One MP4 track holds one stream.
      note("the stream changes at " + IsoUtc(frame.micros) + ": the clip ends there");
      cut = true;
      break;
    }
    if (!writeSound(frame.micros)) return fail(writer->error());
    if (!writer->Write(frame.data.data(), frame.data.size(), frame.micros, frame.key))
      return fail(writer->error());
    result.lastMicros = frame.micros;
  }
  if (writer != nullptr && !writeSound(cut ? result.lastMicros : toMicros))
    return fail(writer->error());
  if (audio != nullptr)
    for (const std::string& e : audio->errors()) note(e);
  for (const std::string& e : range.errors()) note(e);
  if (writer == nullptr) {
    result.status = ExportResult::kNothingRecorded;
    return result;
  }
  result.frames = writer->frames();
  result.audioFrames = writer->audioFrames();
  if (!writer->Finish(true)) return fail(writer->error());
  result.bytes = writer->bytes();
  std::error_code failure;
  std::filesystem::rename(partial, output, failure);
  if (failure) return fail(failure.message());
  result.status = ExportResult::kWritten;
  return result;
}

} // namespace recorder
