#include "ipcam/camera_stream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "ipcam/adts_framer.h"
#include "ipcam/annexb_converter.h"
#include "ipcam/url_mask.h"
#include "rk/core/xml_attribute.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

using namespace rk::core;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace ipcam {

namespace {

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

std::string Seconds(std::chrono::milliseconds span) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(span.count()) / 1000.0);
  return text;
}

uint32_t CodecOf(AVCodecID id) {
  switch (id) {
  case AV_CODEC_ID_H264:
    return RK_CODEC_H264;
  case AV_CODEC_ID_HEVC:
    return RK_CODEC_H265;
  case AV_CODEC_ID_MJPEG:
    return RK_CODEC_MJPEG;
  case AV_CODEC_ID_AAC:
    return RK_CODEC_AAC;
  case AV_CODEC_ID_PCM_MULAW:
    return RK_CODEC_G711U;
  case AV_CODEC_ID_PCM_ALAW:
    return RK_CODEC_G711A;
  case AV_CODEC_ID_OPUS:
    return RK_CODEC_OPUS;
  default:
    return RK_CODEC_NONE;
  }
}

bool IsFile(const std::string& url) {
  const char* protocol = avio_find_protocol_name(url.c_str());
  return protocol != nullptr && std::strcmp(protocol, "file") == 0;
}

int64_t WallMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct InputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

} // namespace

CameraStream::CameraStream(CameraConfig config, rk_core_PostEventFn post, uint64_t id, LogFn log,
                           Timing timing)
    : config_(std::move(config)), post_(post), id_(id), log_(std::move(log)), timing_(timing) {}

CameraStream::~CameraStream() {
  RequestStop();
  Join();
}

void CameraStream::Start() {
  thread_ = std::thread([this] { Run(); });
}

void CameraStream::RequestStop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
}

void CameraStream::Join() {
  if (thread_.joinable()) thread_.join();
}

std::string CameraStream::Label() const {
  return "camera " + std::to_string(config_.number) +
         (config_.name.empty() ? "" : " (" + config_.name + ")") + " " + MaskedUrl(config_.url);
}

bool CameraStream::WaitUntil(Clock::time_point when) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_until(lock, when, [this] { return stop_.load(); });
}

bool CameraStream::WaitFor(Clock::duration span) {
  return WaitUntil(Clock::now() + span);
}

int CameraStream::Interrupt(void* self) {
  const auto* camera = static_cast<const CameraStream*>(self);
  return camera->stop_.load() || camera->Stalled() ? 1 : 0;
}

void CameraStream::Run() {
  auto backOff = timing_.firstRetry;
  while (!stop_) {
    std::string reason;
    bool delivered = false;
    const Outcome outcome = Stream(reason, delivered);
    if (outcome == Outcome::kStopped) break;
    if (delivered) backOff = timing_.firstRetry;
    if (state_ != State::kOffline) {
      if (PostState(false, reason) == RK_POST_REFUSED) break;
      log_(kWarning, Label() + " offline: " + reason);
    } else {
      log_(kDebug, Label() + " still offline: " + reason);
    }
    if (outcome == Outcome::kFinished) { // nothing more to play: wait for Close
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stop_.load(); });
      break;
    }
    if (!WaitFor(backOff)) break;
    backOff = std::min(backOff * 2, timing_.longestRetry);
  }
}

// One connection, from opening the input until it fails or the camera stops.
CameraStream::Outcome CameraStream::Stream(std::string& reason, bool& delivered) {
  const bool file = IsFile(config_.url);
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) {
    reason = "out of memory";
    return Outcome::kFailed;
  }
  raw->interrupt_callback = AVIOInterruptCB{&CameraStream::Interrupt, this};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "rtsp_transport", config_.tcp ? "tcp" : "udp", 0);
  av_dict_set(&options, "allowed_media_types", config_.audio ? "video+audio" : "video", 0);
  deadline_ = Clock::now() + timing_.stall;
  int code = avformat_open_input(&raw, config_.url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (code < 0) { // libavformat freed the context
    if (stop_) return Outcome::kStopped;
    // Interrupted protocols report all sorts of errors: the deadline tells.
    reason = Stalled() ? "no answer for " + Seconds(timing_.stall) : ErrorText(code);
    return Outcome::kFailed;
  }
  std::unique_ptr<AVFormatContext, InputCloser> input(raw);
  // Live sources: capture times follow the stream's own clock from the moment
  // it started to play, so frames held back while probing keep their spacing.
  int64_t anchorWall = WallMicros(), anchorTime = 0;
  bool anchored = false;
  input->max_analyze_duration = 2 * AV_TIME_BASE;
  deadline_ = Clock::now() + timing_.stall;
  code = avformat_find_stream_info(input.get(), nullptr);
  if (stop_) return Outcome::kStopped;
  if (code < 0) {
    reason = Stalled() ? "no stream for " + Seconds(timing_.stall) : ErrorText(code);
    return Outcome::kFailed;
  }

  const int videoIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (videoIndex < 0) {
    reason = "no video stream";
    return Outcome::kFailed;
  }
  const AVStream* video = input->streams[videoIndex];
  AnnexBConverter converter;
  if (!converter.Open(video->codecpar, reason)) return Outcome::kFailed;
  const uint32_t videoCodec = CodecOf(video->codecpar->codec_id);

  int audioIndex = -1;
  uint32_t audioCodec = RK_CODEC_NONE;
  AdtsFramer adts;
  if (config_.audio) {
    audioIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, videoIndex, nullptr, 0);
    if (audioIndex >= 0) {
      const AVCodecParameters* p = input->streams[audioIndex]->codecpar;
      audioCodec = CodecOf(p->codec_id);
      const bool usable =
          (audioCodec == RK_CODEC_AAC && adts.Open(p->extradata, p->extradata_size)) ||
          audioCodec == RK_CODEC_G711U || audioCodec == RK_CODEC_G711A ||
          audioCodec == RK_CODEC_OPUS;
      if (!usable) {
        log_(kWarning, Label() + ": audio in " + avcodec_get_name(p->codec_id) +
                           " is not carried (AAC, G.711 and Opus are)");
        audioIndex = -1;
      }
    }
  }
  for (unsigned i = 0; i < input->nb_streams; ++i)
    if (static_cast<int>(i) != videoIndex && static_cast<int>(i) != audioIndex)
      input->streams[i]->discard = AVDISCARD_ALL;
  const int audioRate = audioIndex >= 0 ? input->streams[audioIndex]->codecpar->sample_rate : 0;

  // One time line for the camera in microseconds since its thread started:
  // presentation times stay monotonic across reconnections and loops.
  const AVRational fps = av_guess_frame_rate(input.get(), input->streams[videoIndex], nullptr);
  const int64_t frameMicros =
      fps.num > 0 && fps.den > 0 ? av_rescale(1000000, fps.den, fps.num) : 40000;
  bool rebase = true; // the next packet fixes `offset`
  int64_t offset = 0; // time line = stream time + offset
  int64_t last = -1;  // time line of the latest packet
  Clock::time_point paceWall;
  int64_t paceStart = 0;
  bool paced = false;

  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::vector<uint8_t> unit;
  bool waitForKey = true; // after connecting or looping, the first posted frame is a key frame
  bool skipToKey = false; // throttled: drop up to the next key frame
  uint64_t skipped = 0;
  bool overdue = false; // the last read only returned once the deadline had passed
  for (;;) {
    // A stalled read still hands out what the parser held back (the last
    // access unit); the read after it fails at once instead of waiting again.
    if (!overdue) deadline_ = Clock::now() + timing_.stall;
    code = av_read_frame(input.get(), packet.get());
    overdue = !file && Stalled();
    if (stop_) return Outcome::kStopped;
    if (code == AVERROR_EOF && file && config_.loop) {
      deadline_ = Clock::now() + timing_.stall;
      const int64_t start = input->start_time == AV_NOPTS_VALUE ? 0 : input->start_time;
      if (avformat_seek_file(input.get(), -1, INT64_MIN, start, start, 0) < 0) {
        reason = "cannot loop: the file does not seek";
        return Outcome::kFailed;
      }
      rebase = true;
      waitForKey = true; // the clip may start mid-GOP: its first frames' references are gone
      continue;
    }
    if (code == AVERROR_EOF && file) {
      reason = "end of file";
      return Outcome::kFinished;
    }
    if (code < 0) {
      reason = Stalled()             ? "no packet for " + Seconds(timing_.stall)
               : code == AVERROR_EOF ? "end of stream"
                                     : ErrorText(code);
      return Outcome::kFailed;
    }
    const bool isVideo = packet->stream_index == videoIndex;
    if ((!isVideo && packet->stream_index != audioIndex) || packet->size <= 0) {
      av_packet_unref(packet.get());
      continue;
    }
    const AVRational base = input->streams[packet->stream_index]->time_base;
    int64_t stamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    int64_t now;
    if (stamp == AV_NOPTS_VALUE) {
      now =
          last < 0
              ? std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - born_).count()
              : last + frameMicros;
    } else {
      stamp = av_rescale_q(stamp, base, AVRational{1, 1000000});
      if (rebase) {
        offset = last < 0
                     ? std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - born_)
                               .count() -
                           stamp
                     : last + frameMicros - stamp;
        rebase = false;
      }
      now = stamp + offset;
    }
    if (isVideo) last = std::max(last, now);

    if (file) { // a camera without a camera: play at the real pace
      if (!paced || now < paceStart) {
        paceWall = Clock::now();
        paceStart = now;
        paced = true;
      }
      const auto due = paceWall + std::chrono::microseconds(now - paceStart);
      if (Clock::now() - due > 1s) { // far behind (suspended): start afresh, no burst
        paceWall = Clock::now();
        paceStart = now;
      } else if (!WaitUntil(due)) {
        return Outcome::kStopped;
      }
    }
    int64_t capture = WallMicros();
    if (!file) {
      if (!anchored) {
        anchorTime = now;
        anchored = true;
      }
      const int64_t wall = capture;
      capture = std::min(wall, anchorWall + (now - anchorTime));
      if (wall - capture > 2000000) { // the stream's clock lags: follow the wall clock again
        anchorWall = wall;
        anchorTime = now;
        capture = wall;
      }
    }

    uint32_t result;
    if (isVideo) {
      bool key = false;
      if (!converter.Convert(packet.get(), unit, key)) continue;
      if (skipToKey && !key) { // first: a refused key frame may be the one awaited
        ++skipped;
        ++counts_.droppedThrottled;
        continue;
      }
      if (waitForKey && !key) continue;
      result = PostMedia(true, unit, key, videoCodec, video->codecpar->width,
                         video->codecpar->height, av_rescale(now, 90000, 1000000), capture);
      if (result == RK_POST_THROTTLED) {
        if (!skipToKey)
          log_(kWarning,
               Label() + ": throttled by the core, dropping frames up to the next key frame");
        skipToKey = true;
        ++skipped;
        ++counts_.droppedThrottled;
        continue;
      }
      if (result == RK_POST_OK) {
        waitForKey = false;
        ++counts_.videoPosted;
        if (skipToKey) {
          log_(kInfo, Label() + ": streaming again after " + std::to_string(skipped) +
                          " dropped frame(s)");
          skipped = 0;
          skipToKey = false;
        }
        if (!delivered) {
          delivered = true;
          ++counts_.connections;
        }
        if (state_ != State::kOnline) {
          result = PostState(true, "");
          log_(kInfo, Label() + " online: " + avcodec_get_name(video->codecpar->codec_id) + " " +
                          std::to_string(video->codecpar->width) + "x" +
                          std::to_string(video->codecpar->height));
        }
      }
    } else {
      if (waitForKey) { // audio follows once the video started
        av_packet_unref(packet.get());
        continue;
      }
      if (audioCodec == RK_CODEC_AAC) {
        adts.Frame(packet->data, static_cast<size_t>(packet->size), unit);
      } else {
        unit.assign(packet->data, packet->data + packet->size);
      }
      av_packet_unref(packet.get());
      result = PostMedia(false, unit, true, audioCodec, 0, 0,
                         av_rescale(now, audioRate > 0 ? audioRate : 90000, 1000000), capture);
      if (result == RK_POST_OK) ++counts_.audioPosted;
      if (result == RK_POST_THROTTLED) ++counts_.droppedThrottled;
    }
    if (result == RK_POST_REFUSED) return Outcome::kStopped; // the core stops
  }
}

uint32_t CameraStream::PostState(bool online, const std::string& reason) {
  state_ = online ? State::kOnline : State::kOffline;
  std::string xml = "<?xml version=\"1.0\"?><Varn><Camera Number=\"" +
                    std::to_string(config_.number) + "\" Name=\"" +
                    rk::core::XmlAttribute(config_.name) + "\" State=\"" +
                    (online ? "online" : "offline") + "\"";
  if (!online) xml += " Reason=\"" + rk::core::XmlAttribute(reason) + "\"";
  xml += "/></Varn>";
  AlarmEvt e;
  e.source = id_;
  e.data = xml.data();
  e.length = static_cast<uint32_t>(xml.size());
  return post_(&e);
}

uint32_t CameraStream::PostMedia(bool video, const std::vector<uint8_t>& unit, bool key,
                                 uint32_t codec, int width, int height, int64_t pts,
                                 int64_t captureMicros) {
  EventParms e;
  InitEvent(e);
  e.type = video ? RK_TYPE_VIDEO : RK_TYPE_AUDIO;
  e.flags = kLive;
  e.source = id_;
  e.data = unit.data();
  e.length = static_cast<uint32_t>(unit.size());
  e.media.seconds = static_cast<uint64_t>(captureMicros / 1000000);
  e.media.milliseconds = static_cast<uint16_t>((captureMicros / 1000) % 1000);
  e.media.frameType = key ? RK_FRAME_KEY : 2;
  MediaInfo& info = MediaInfoOf(e);
  info.camera = config_.number;
  info.codec = codec;
  info.width = static_cast<uint16_t>(std::clamp(width, 0, 65535));
  info.height = static_cast<uint16_t>(std::clamp(height, 0, 65535));
  info.pts = pts;
  info.captureMicros = captureMicros;
  return post_(&e); // the core copies the payload before returning
}

} // namespace ipcam
