#pragma once
// Live audio records and MP4 audio samples, both ways, without re-encoding.
// AAC arrives as ADTS frames: the header goes, its fields become the
// AudioSpecificConfig the MP4 track carries, and a stored frame gets a header
// again when it is read back. Opus packets go in as they are, the track
// described by an OpusHead made from the first packet. G.711 has no place in
// an MP4 file (libavformat's mp4 muxer refuses it): not recorded.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace recorder {

// What an MP4 audio track needs to know.
struct AudioParams {
  uint32_t codec = 0; // RK_CODEC_AAC or RK_CODEC_OPUS
  int sampleRate = 0; // the track's clock, and that of the records' pts
  int channels = 0;
  std::vector<uint8_t> extradata; // AAC: AudioSpecificConfig; Opus: OpusHead

  // Whether frames described by `other` can go on in this track (an Opus
  // stream may code some packets in mono, some in stereo).
  bool Takes(const AudioParams& other) const;
};

// One MP4 sample of a record.
struct AudioSample {
  const uint8_t* data = nullptr; // into the record
  size_t length = 0;
  int64_t samples = 0; // its duration at the sample rate
};

// The track a record of `codec` belongs to; nullopt with `why` set when it
// cannot be recorded.
std::optional<AudioParams> AudioParamsOf(uint32_t codec, const uint8_t* data, size_t length,
                                         std::string& why);

// A record's samples: its ADTS frames without their headers (AAC), the
// packet itself (Opus). False when the record is malformed.
bool AudioSamples(uint32_t codec, const uint8_t* data, size_t length,
                  std::vector<AudioSample>& samples);

// A stored AAC sample as a record carries it: with an ADTS header built from
// the track's AudioSpecificConfig.
void AddAdtsHeader(const std::vector<uint8_t>& audioSpecificConfig, const uint8_t* data,
                   size_t length, std::vector<uint8_t>& out);

} // namespace recorder
