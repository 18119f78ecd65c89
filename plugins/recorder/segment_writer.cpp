#include "segment_writer.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include "av_error_text.h"
#include "rk/core/media.h"

namespace recorder {

namespace {

constexpr AVRational kMicros{1, 1000000};

} // namespace

std::unique_ptr<SegmentWriter>
SegmentWriter::Create(const std::string& path, const StreamParams& params, int64_t startMicros,
                      Layout layout, std::string& error, bool& diskFull, const AudioParams* audio) {
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
  if (audio != nullptr) {
    if (audio->codec != RK_CODEC_AAC && audio->codec != RK_CODEC_OPUS)
      return fail("audio codec " + std::to_string(audio->codec) + " is not recorded");
    AVStream* sound = avformat_new_stream(writer->format_, nullptr);
    if (sound == nullptr) return fail("cannot prepare a stream");
    AVCodecParameters* a = sound->codecpar;
    a->codec_type = AVMEDIA_TYPE_AUDIO;
    a->codec_id = audio->codec == RK_CODEC_AAC ? AV_CODEC_ID_AAC : AV_CODEC_ID_OPUS;
    a->sample_rate = audio->sampleRate;
    av_channel_layout_default(&a->ch_layout, audio->channels);
    a->frame_size = audio->codec == RK_CODEC_AAC ? 1024 : 960; // Opus: 20 ms, the usual
    a->extradata =
        static_cast<uint8_t*>(av_mallocz(audio->extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (a->extradata == nullptr) return fail("out of memory");
    std::copy(audio->extradata.begin(), audio->extradata.end(), a->extradata);
    a->extradata_size = static_cast<int>(audio->extradata.size());
    sound->time_base = AVRational{1, audio->sampleRate};
    writer->audioStream_ = sound->index;
    writer->audioRate_ = audio->sampleRate;
  }

  if (!writer->Check(avio_open(&writer->format_->pb, path.c_str(), AVIO_FLAG_WRITE), "open"))
    return fail("cannot create");
  AVDictionary* options = nullptr;
  if (layout == Layout::Fragmented) {
    // Each track's first fragment says where it starts (tfdt): an audio track
    // that begins a few milliseconds after the video keeps its place. (With
    // the muxer's defaults its first sample would be moved to time 0, as the
    // moov, written before any frame, can hold no edit list.)
    av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof+frag_discont", 0);
    av_dict_set(&options, "use_editlist", "0", 0);
    writer->format_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_MAKE_NON_NEGATIVE;
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
  error_ = std::string(what) + ": " + AvErrorText(result);
  return false;
}

bool SegmentWriter::Send(int index, int64_t when, int64_t duration, const uint8_t* data,
                         size_t length, bool key) {
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return Check(AVERROR(ENOMEM), "write");
  // The muxer only reads the bytes; it copies what it keeps.
  packet->data = const_cast<uint8_t*>(data);
  packet->size = static_cast<int>(length);
  packet->pts = packet->dts = when;
  packet->duration = duration;
  packet->stream_index = index;
  if (key) packet->flags |= AV_PKT_FLAG_KEY;
  const int result = av_write_frame(format_, packet);
  av_packet_free(&packet);
  return Check(result, "write") && Check(format_->pb->error, "write");
}

bool SegmentWriter::Write(const uint8_t* data, size_t length, int64_t micros, bool key) {
  if (failed_ || format_ == nullptr) return false;
  if (frames_ > 0) {
    if (micros <= lastMicros_) micros = lastMicros_ + 1;
    lastInterval_ = micros - lastMicros_;
  } else {
    micros = startMicros_;
  }
  const AVRational base = format_->streams[0]->time_base;
  if (!Send(0, av_rescale_q(micros - startMicros_, kMicros, base),
            av_rescale_q(lastInterval_, kMicros, base), data, length, key))
    return false;
  lastMicros_ = micros;
  ++frames_;
  return true;
}

bool SegmentWriter::WriteAudio(const uint8_t* data, size_t length, int64_t micros, int64_t pts,
                               int64_t samples) {
  if (failed_ || format_ == nullptr || audioStream_ < 0) return false;
  const int64_t byCapture = av_rescale(micros - startMicros_, audioRate_, 1000000);
  int64_t ticks = byCapture;
  if (audioAnchored_ && pts > lastAudioPts_) {
    const int64_t byPts = audioAnchorTicks_ + (pts - audioAnchorPts_);
    if (std::llabs(byPts - byCapture) <= audioRate_ / 2) ticks = byPts;
  }
  if (ticks == byCapture) {
    audioAnchored_ = true;
    audioAnchorPts_ = pts;
    audioAnchorTicks_ = ticks;
  }
  if (ticks < 0) ticks = 0;
  if (audioFrames_ > 0 && ticks <= lastAudioTicks_) ticks = lastAudioTicks_ + 1;
  const AVRational rate{1, audioRate_};
  const AVRational base = format_->streams[audioStream_]->time_base;
  if (!Send(audioStream_, av_rescale_q(ticks, rate, base), av_rescale_q(samples, rate, base), data,
            length, true))
    return false;
  lastAudioPts_ = pts;
  lastAudioTicks_ = ticks;
  lastAudioMicros_ = startMicros_ + av_rescale(ticks, 1000000, audioRate_);
  ++audioFrames_;
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
