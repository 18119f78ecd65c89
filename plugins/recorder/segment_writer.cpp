#include "segment_writer.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include "rk/core/media.h"

namespace recorder {

namespace {

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

constexpr AVRational kMicros{1, 1000000};

} // namespace

std::unique_ptr<SegmentWriter> SegmentWriter::Create(const std::string& path,
                                                     const StreamParams& params,
                                                     int64_t startMicros, Layout layout,
                                                     std::string& error, bool& diskFull) {
  diskFull = false;
  std::unique_ptr<SegmentWriter> writer(new SegmentWriter);
  writer->path_ = path;
  writer->startMicros_ = startMicros;
  writer->lastMicros_ = startMicros;
  auto fail = [&](const std::string& what) {
    error = path + ": " + what + (writer->error_.empty() ? "" : ": " + writer->error_);
    diskFull = writer->diskFull_;
    return nullptr;
  };
  if (params.codec != RK_CODEC_H264 && params.codec != RK_CODEC_H265)
    return fail("codec " + std::to_string(params.codec) + " is not recorded");
  if (params.parameterSets.empty()) return fail("the key frame carries no parameter sets");

  if (!writer->Check(avformat_alloc_output_context2(&writer->format_, nullptr, "mp4", nullptr),
                     "no mp4 muxer"))
    return fail("cannot prepare");
  // The muxer reads the file back by this name to move the moov forward.
  writer->format_->url = av_strdup(path.c_str());
  AVStream* stream = avformat_new_stream(writer->format_, nullptr);
  if (stream == nullptr) return fail("cannot prepare a stream");
  AVCodecParameters* codec = stream->codecpar;
  codec->codec_type = AVMEDIA_TYPE_VIDEO;
  codec->codec_id = params.codec == RK_CODEC_H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
  codec->width = params.width;
  codec->height = params.height;
  // Annex B parameter sets: the muxer turns them into avcC / hvcC, and the
  // frames into length-prefixed samples.
  codec->extradata =
      static_cast<uint8_t*>(av_mallocz(params.parameterSets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (codec->extradata == nullptr) return fail("out of memory");
  std::copy(params.parameterSets.begin(), params.parameterSets.end(), codec->extradata);
  codec->extradata_size = static_cast<int>(params.parameterSets.size());
  stream->time_base = kMicros;

  if (!writer->Check(avio_open(&writer->format_->pb, path.c_str(), AVIO_FLAG_WRITE), "open"))
    return fail("cannot create");
  AVDictionary* options = nullptr;
  if (layout == Layout::Fragmented) {
    av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    // Whatever the muxer writes reaches the file at once: a fragment is
    // complete on disk as soon as the next key frame closed it.
    writer->format_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  } else {
    av_dict_set(&options, "movflags", "faststart", 0);
  }
  // The start time with the file, for adopting it without a catalogue row.
  av_dict_set(&writer->format_->metadata, "comment",
              ("start_us=" + std::to_string(startMicros)).c_str(), 0);
  const int header = avformat_write_header(writer->format_, &options);
  av_dict_free(&options);
  if (!writer->Check(header, "header") ||
      !writer->Check(writer->format_->pb->error, "header write"))
    return fail("cannot write the header");
  avio_flush(writer->format_->pb);
  if (!writer->Check(writer->format_->pb->error, "header write"))
    return fail("cannot write the header");
  return writer;
}

SegmentWriter::~SegmentWriter() {
  if (format_ == nullptr) return;
  if (format_->pb != nullptr) avio_closep(&format_->pb);
  avformat_free_context(format_);
}

bool SegmentWriter::Check(int result, const char* what) {
  if (result >= 0) return true;
  failed_ = true;
  diskFull_ = result == AVERROR(ENOSPC) || result == AVERROR(EDQUOT);
  error_ = std::string(what) + ": " + ErrorText(result);
  return false;
}

bool SegmentWriter::Write(const uint8_t* data, size_t length, int64_t micros, bool key) {
  if (failed_ || format_ == nullptr) return false;
  if (frames_ > 0) {
    if (micros <= lastMicros_) micros = lastMicros_ + 1;
    lastInterval_ = micros - lastMicros_;
  } else {
    micros = startMicros_;
  }
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return Check(AVERROR(ENOMEM), "write");
  // The muxer only reads the bytes; it copies what it keeps.
  packet->data = const_cast<uint8_t*>(data);
  packet->size = static_cast<int>(length);
  AVStream* stream = format_->streams[0];
  packet->pts = packet->dts = av_rescale_q(micros - startMicros_, kMicros, stream->time_base);
  packet->duration = av_rescale_q(lastInterval_, kMicros, stream->time_base);
  packet->stream_index = 0;
  if (key) packet->flags |= AV_PKT_FLAG_KEY;
  const int result = av_write_frame(format_, packet);
  av_packet_free(&packet);
  if (!Check(result, "write") || !Check(format_->pb->error, "write")) return false;
  lastMicros_ = micros;
  ++frames_;
  return true;
}

bool SegmentWriter::Finish(bool sync) {
  if (format_ == nullptr) return !failed_;
  if (!failed_) Check(av_write_trailer(format_), "trailer");
  if (!failed_) Check(format_->pb->error, "trailer write");
  const int closed = avio_closep(&format_->pb);
  if (!failed_) Check(closed, "close");
  avformat_free_context(format_);
  format_ = nullptr;
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) bytes_ = static_cast<uint64_t>(info.st_size);
  if (sync && !failed_) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) Check(AVERROR(errno), "sync");
    if (fd >= 0) ::close(fd);
  }
  return !failed_;
}

} // namespace recorder
