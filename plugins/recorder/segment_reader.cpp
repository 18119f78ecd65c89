#include "segment_reader.h"

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include "audio_format.h"
#include "av_error_text.h"
#include "rk/core/media.h"

namespace recorder {

namespace {

constexpr AVRational kMicros{1, 1000000};

} // namespace

std::unique_ptr<SegmentReader> SegmentReader::Open(const std::string& path, int64_t startMicros,
                                                   std::string& error, Track track) {
  std::unique_ptr<SegmentReader> reader(new SegmentReader);
  int result = avformat_open_input(&reader->format_, path.c_str(), nullptr, nullptr);
  if (result < 0) {
    error = path + ": " + AvErrorText(result);
    return nullptr;
  }
  const bool audio = track == Track::Audio;
  const int stream = av_find_best_stream(
      reader->format_, audio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) {
    error = audio ? "" : path + ": no video";
    return nullptr;
  }
  reader->stream_ = stream;
  // The other track's samples are skipped, not read.
  for (unsigned i = 0; i < reader->format_->nb_streams; ++i)
    if (static_cast<int>(i) != stream) reader->format_->streams[i]->discard = AVDISCARD_ALL;
  const AVCodecParameters* codec = reader->format_->streams[stream]->codecpar;
  const char* filterName = "null"; // audio samples pass as they are
  if (audio) {
    reader->audio_ = true;
    reader->sampleRate_ = codec->sample_rate;
    if (codec->codec_id == AV_CODEC_ID_AAC) {
      reader->codec_ = RK_CODEC_AAC;
      reader->audioConfig_.assign(codec->extradata, codec->extradata + codec->extradata_size);
    } else if (codec->codec_id == AV_CODEC_ID_OPUS) {
      reader->codec_ = RK_CODEC_OPUS;
    } else {
      error = path + ": audio neither AAC nor Opus";
      return nullptr;
    }
  } else if (codec->codec_id == AV_CODEC_ID_H264) {
    reader->codec_ = RK_CODEC_H264;
    filterName = "h264_mp4toannexb";
  } else if (codec->codec_id == AV_CODEC_ID_HEVC) {
    reader->codec_ = RK_CODEC_H265;
    filterName = "hevc_mp4toannexb";
  } else {
    error = path + ": neither H.264 nor H.265";
    return nullptr;
  }
  reader->width_ = static_cast<uint16_t>(codec->width);
  reader->height_ = static_cast<uint16_t>(codec->height);
  if (startMicros < 0) {
    startMicros = 0;
    const AVDictionaryEntry* comment =
        av_dict_get(reader->format_->metadata, "comment", nullptr, 0);
    if (comment != nullptr && std::strncmp(comment->value, "start_us=", 9) == 0)
      startMicros = std::strtoll(comment->value + 9, nullptr, 10);
  }
  reader->startMicros_ = startMicros;

  const AVBitStreamFilter* filter = av_bsf_get_by_name(filterName);
  if (filter == nullptr || av_bsf_alloc(filter, &reader->filter_) < 0 ||
      avcodec_parameters_copy(reader->filter_->par_in, codec) < 0) {
    error = path + ": no " + filterName + " filter";
    return nullptr;
  }
  reader->filter_->time_base_in = reader->format_->streams[stream]->time_base;
  if ((result = av_bsf_init(reader->filter_)) < 0) {
    error = path + ": " + AvErrorText(result);
    return nullptr;
  }
  reader->packet_ = av_packet_alloc();
  if (reader->packet_ == nullptr) {
    error = path + ": out of memory";
    return nullptr;
  }
  return reader;
}

SegmentReader::~SegmentReader() {
  av_packet_free(&packet_);
  av_bsf_free(&filter_);
  avformat_close_input(&format_);
}

bool SegmentReader::Next(StoredFrame& frame) {
  for (;;) {
    const int received = av_bsf_receive_packet(filter_, packet_);
    if (received == 0) {
      const AVRational base = filter_->time_base_out;
      const int64_t when = packet_->dts != AV_NOPTS_VALUE ? packet_->dts : packet_->pts;
      frame.micros = startMicros_ + av_rescale_q(when == AV_NOPTS_VALUE ? 0 : when, base, kMicros);
      frame.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
      frame.codec = codec_;
      frame.width = width_;
      frame.height = height_;
      frame.audio = audio_;
      frame.sampleRate = sampleRate_;
      if (audio_) frame.key = true;
      if (codec_ == RK_CODEC_AAC) {
        AddAdtsHeader(audioConfig_, packet_->data, static_cast<size_t>(packet_->size), frame.data);
      } else {
        frame.data.assign(packet_->data, packet_->data + packet_->size);
      }
      av_packet_unref(packet_);
      return true;
    }
    if (received != AVERROR(EAGAIN) || ended_) return false;
    // Feed the filter the next whole packet of our stream.
    for (;;) {
      if (av_read_frame(format_, packet_) < 0) {
        ended_ = true;
        av_bsf_send_packet(filter_, nullptr);
        break;
      }
      if (packet_->stream_index != stream_) {
        av_packet_unref(packet_);
        continue;
      }
      // A sample cut short by a crash or a write in progress: the end.
      if ((packet_->flags & AV_PKT_FLAG_CORRUPT) != 0) {
        av_packet_unref(packet_);
        ended_ = true;
        av_bsf_send_packet(filter_, nullptr);
        break;
      }
      const int sent = av_bsf_send_packet(filter_, packet_);
      av_packet_unref(packet_);
      if (sent < 0) {
        ended_ = true;
        return false;
      }
      break;
    }
  }
}

} // namespace recorder
