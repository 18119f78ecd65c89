#pragma once
// H.264 / H.265 Annex B byte streams: NAL units behind 00 00 01 start codes.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace recorder {

struct NalUnit {
  size_t start = 0; // of its start code
  size_t body = 0;  // first byte after the start code (the NAL header)
  size_t end = 0;   // one past its last byte
};

// The NAL units of `data`, in order; bytes before the first start code are skipped.
std::vector<NalUnit> SplitNalUnits(const uint8_t* data, size_t length);

// The parameter sets (H.264: SPS, PPS; H.265: VPS, SPS, PPS) of an access
// unit, each behind a 4-byte start code; empty when it carries none.
// `codec` is RK_CODEC_H264 or RK_CODEC_H265.
std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t length, uint32_t codec);

} // namespace recorder
