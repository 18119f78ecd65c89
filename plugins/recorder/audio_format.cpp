#include "audio_format.h"

#include <iterator>

#include "rk/core/media.h"

namespace recorder {

namespace {

constexpr int kAdtsRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                              22050, 16000, 12000, 11025, 8000,  7350};
constexpr int64_t kAacFrameSamples = 1024;
constexpr int kOpusRate = 48000; // Opus in MP4 always counts at 48 kHz

struct AdtsHeader {
  size_t headerLength = 0, frameLength = 0;
  int objectType = 0, rateIndex = 0, channels = 0, blocks = 0;
};

bool ReadAdts(const uint8_t* p, size_t length, AdtsHeader& h) {
  if (length < 7 || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
  h.headerLength = (p[1] & 1) != 0 ? 7 : 9;
  h.objectType = (p[2] >> 6) + 1;
  h.rateIndex = (p[2] >> 2) & 0xF;
  h.channels = ((p[2] & 1) << 2) | (p[3] >> 6);
  h.frameLength =
      (static_cast<size_t>(p[3] & 3) << 11) | (static_cast<size_t>(p[4]) << 3) | (p[5] >> 5);
  h.blocks = (p[6] & 3) + 1;
  // Several blocks under one CRC would need the CRCs between them removed.
  return h.frameLength > h.headerLength && h.frameLength <= length &&
         !(h.headerLength == 9 && h.blocks > 1);
}

// An Opus packet's duration in 48 kHz samples, from its table-of-contents byte.
int64_t OpusSamples(const uint8_t* p, size_t length) {
  if (length == 0) return 0;
  const int config = p[0] >> 3;
  static constexpr int kSilk[] = {480, 960, 1920, 2880};
  static constexpr int kCelt[] = {120, 240, 480, 960};
  const int frame = config < 12   ? kSilk[config & 3]
                    : config < 16 ? (config & 1 ? 960 : 480)
                                  : kCelt[config & 3];
  const int code = p[0] & 3;
  const int frames = code == 0 ? 1 : code < 3 ? 2 : length > 1 ? (p[1] & 0x3F) : 0;
  return static_cast<int64_t>(frame) * frames;
}

} // namespace

bool AudioParams::Takes(const AudioParams& other) const {
  return codec == other.codec && (codec != RK_CODEC_AAC || extradata == other.extradata);
}

std::optional<AudioParams> AudioParamsOf(uint32_t codec, const uint8_t* data, size_t length,
                                         std::string& why) {
  AudioParams params;
  params.codec = codec;
  if (codec == RK_CODEC_AAC) {
    AdtsHeader h;
    if (!ReadAdts(data, length, h)) {
      why = "AAC audio without a valid ADTS header";
      return std::nullopt;
    }
    if (h.rateIndex >= static_cast<int>(std::size(kAdtsRates)) || h.channels == 0) {
      why = "AAC audio with an explicit sample rate or channel layout";
      return std::nullopt;
    }
    params.sampleRate = kAdtsRates[h.rateIndex];
    params.channels = h.channels == 7 ? 8 : h.channels;
    params.extradata = {static_cast<uint8_t>((h.objectType << 3) | (h.rateIndex >> 1)),
                        static_cast<uint8_t>(((h.rateIndex & 1) << 7) | (h.channels << 3))};
    return params;
  }
  if (codec == RK_CODEC_OPUS) {
    if (OpusSamples(data, length) == 0) {
      why = "an empty or malformed Opus packet";
      return std::nullopt;
    }
    params.sampleRate = kOpusRate;
    params.channels = (data[0] & 4) != 0 ? 2 : 1;
    // OpusHead: version 1, channels, no pre-skip, 48 kHz, no gain, mapping family 0.
    params.extradata = {
        'O', 'p', 'u',  's',  'H', 'e', 'a', 'd', 1, static_cast<uint8_t>(params.channels),
        0,   0,   0x80, 0xBB, 0,   0,   0,   0,   0};
    return params;
  }
  why = codec == RK_CODEC_G711U || codec == RK_CODEC_G711A
            ? "G.711 audio cannot go into an MP4 segment"
            : "audio codec " + std::to_string(codec) + " is not recorded";
  return std::nullopt;
}

bool AudioSamples(uint32_t codec, const uint8_t* data, size_t length,
                  std::vector<AudioSample>& samples) {
  samples.clear();
  if (codec == RK_CODEC_OPUS) {
    const int64_t duration = OpusSamples(data, length);
    if (duration == 0) return false;
    samples.push_back({data, length, duration});
    return true;
  }
  if (codec != RK_CODEC_AAC) return false;
  while (length > 0) {
    AdtsHeader h;
    if (!ReadAdts(data, length, h)) return false;
    samples.push_back(
        {data + h.headerLength, h.frameLength - h.headerLength, kAacFrameSamples * h.blocks});
    data += h.frameLength;
    length -= h.frameLength;
  }
  return !samples.empty();
}

void AddAdtsHeader(const std::vector<uint8_t>& config, const uint8_t* data, size_t length,
                   std::vector<uint8_t>& out) {
  const int objectType = config.size() >= 2 ? config[0] >> 3 : 2;
  const int rateIndex = config.size() >= 2 ? ((config[0] & 7) << 1) | (config[1] >> 7) : 3;
  const int channels = config.size() >= 2 ? (config[1] >> 3) & 0xF : 2;
  const size_t total = length + 7;
  out.clear();
  out.reserve(total);
  out.push_back(0xFF);
  out.push_back(0xF1); // MPEG-4, no CRC
  out.push_back(static_cast<uint8_t>((((objectType - 1) & 3) << 6) | (rateIndex << 2) |
                                     ((channels >> 2) & 1)));
  out.push_back(static_cast<uint8_t>(((channels & 3) << 6) | ((total >> 11) & 3)));
  out.push_back(static_cast<uint8_t>((total >> 3) & 0xFF));
  out.push_back(static_cast<uint8_t>(((total & 7) << 5) | 0x1F)); // buffer fullness: VBR
  out.push_back(0xFC);
  out.insert(out.end(), data, data + length);
}

} // namespace recorder
