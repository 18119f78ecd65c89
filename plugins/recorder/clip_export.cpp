#include "clip_export.h"

#include <filesystem>
#include <memory>

#include "annexb.h"
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
  RecordedRange range(root, catalogue->Segments(camera, fromMicros, toMicros), fromMicros,
                      toMicros);
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
  StoredFrame frame;
  StreamParams params;
  while (range.Next(frame)) {
    if (writer == nullptr) {
      params.codec = frame.codec;
      params.width = frame.width;
      params.height = frame.height;
      params.parameterSets = ParameterSets(frame.data.data(), frame.data.size(), frame.codec);
      bool full = false;
      writer = SegmentWriter::Create(partial, params, frame.micros, SegmentWriter::Layout::Whole,
                                     error, full);
      if (writer == nullptr) return fail(error);
      result.firstMicros = frame.micros;
    } else if (frame.codec != params.codec || frame.width != params.width ||
               frame.height != params.height) {
      // One MP4 track holds one stream.
      result.message = "the stream changes at " + IsoUtc(frame.micros) + ": the clip ends there";
      break;
    }
    if (!writer->Write(frame.data.data(), frame.data.size(), frame.micros, frame.key))
      return fail(writer->error());
    result.lastMicros = frame.micros;
  }
  for (const std::string& e : range.errors())
    result.message += (result.message.empty() ? "" : "; ") + e;
  if (writer == nullptr) {
    result.status = ExportResult::kNothingRecorded;
    return result;
  }
  result.frames = writer->frames();
  if (!writer->Finish(true)) return fail(writer->error());
  result.bytes = writer->bytes();
  std::error_code failure;
  std::filesystem::rename(partial, output, failure);
  if (failure) return fail(failure.message());
  result.status = ExportResult::kWritten;
  return result;
}

} // namespace recorder
