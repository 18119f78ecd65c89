#include "snapshot_writer.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "rk/core/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace viewer {

namespace {

struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScaleFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;

AVCodecID DecoderOf(uint32_t codec) {
  switch (codec) {
  case RK_CODEC_H264:
    return AV_CODEC_ID_H264;
  case RK_CODEC_H265:
    return AV_CODEC_ID_HEVC;
  case RK_CODEC_MJPEG:
    return AV_CODEC_ID_MJPEG;
  default:
    return AV_CODEC_ID_NONE;
  }
}

// The key frame decoded; null with `error` set.
Frame Decode(uint32_t codec, const std::vector<uint8_t>& keyFrame, std::string& error) {
  const AVCodec* decoder = avcodec_find_decoder(DecoderOf(codec));
  if (decoder == nullptr) {
    error = "no decoder for codec " + std::to_string(codec);
    return nullptr;
  }
  Codec context(avcodec_alloc_context3(decoder));
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  if (!context || !packet || !frame ||
      av_new_packet(packet.get(), static_cast<int>(keyFrame.size())) < 0) {
    error = "out of memory";
    return nullptr;
  }
  context->thread_count = 1;
  std::copy(keyFrame.begin(), keyFrame.end(), packet->data);
  packet->flags = AV_PKT_FLAG_KEY;
  if (avcodec_open2(context.get(), decoder, nullptr) < 0 ||
      avcodec_send_packet(context.get(), packet.get()) < 0 ||
      avcodec_send_packet(context.get(), nullptr) < 0 ||
      avcodec_receive_frame(context.get(), frame.get()) < 0) {
    error = "the key frame does not decode";
    return nullptr;
  }
  return frame;
}

// `picture` as JPEG bytes; empty with `error` set.
std::vector<uint8_t> EncodeJpeg(const AVFrame& picture, std::string& error) {
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  Codec context(encoder ? avcodec_alloc_context3(encoder) : nullptr);
  Frame converted(av_frame_alloc());
  Packet packet(av_packet_alloc());
  if (!context || !converted || !packet) {
    error = "no JPEG encoder";
    return {};
  }
  const int w = picture.width, h = picture.height;
  std::unique_ptr<SwsContext, ScaleFree> scale(
      sws_getContext(w, h, static_cast<AVPixelFormat>(picture.format), w, h, AV_PIX_FMT_YUVJ420P,
                     SWS_BILINEAR, nullptr, nullptr, nullptr));
  converted->format = AV_PIX_FMT_YUVJ420P;
  converted->width = w;
  converted->height = h;
  if (!scale || av_frame_get_buffer(converted.get(), 0) < 0) {
    error = "cannot convert the picture";
    return {};
  }
  sws_scale(scale.get(), picture.data, picture.linesize, 0, h, converted->data,
            converted->linesize);
  context->width = w;
  context->height = h;
  context->pix_fmt = AV_PIX_FMT_YUVJ420P;
  context->time_base = AVRational{1, 25};
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->global_quality = FF_QP2LAMBDA * 3; // good quality, small file
  converted->quality = context->global_quality;
  converted->pts = 0;
  if (avcodec_open2(context.get(), encoder, nullptr) < 0 ||
      avcodec_send_frame(context.get(), converted.get()) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    error = "JPEG encoding failed";
    return {};
  }
  return std::vector<uint8_t>(packet->data, packet->data + packet->size);
}

} // namespace

Snapshot WriteSnapshot(uint32_t codec, const std::vector<uint8_t>& keyFrame,
                       const std::string& path) {
  Snapshot result;
  const Frame picture = Decode(codec, keyFrame, result.error);
  if (!picture) return result;
  result.width = picture->width;
  result.height = picture->height;
  const std::vector<uint8_t> jpeg = EncodeJpeg(*picture, result.error);
  if (jpeg.empty()) return result;
  // Written beside and renamed over, so nobody opens half a picture.
  const std::string partial = path + ".part";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  const bool written =
      out != nullptr && std::fwrite(jpeg.data(), 1, jpeg.size(), out) == jpeg.size();
  if (out != nullptr && std::fclose(out) != 0) result.error = "cannot write " + partial;
  std::error_code renamed;
  if (written && result.error.empty()) std::filesystem::rename(partial, path, renamed);
  if (!written || renamed) result.error = "cannot write " + path;
  return result;
}

} // namespace viewer
