#include "annexb.h"

#include "rk/core/media.h"

namespace recorder {

std::vector<NalUnit> SplitNalUnits(const uint8_t* data, size_t length) {
  std::vector<size_t> codes; // positions of 00 00 01
  for (size_t i = 0; i + 3 <= length; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      codes.push_back(i);
      i += 2;
    }
  }
  std::vector<NalUnit> units;
  for (size_t k = 0; k < codes.size(); ++k) {
    NalUnit unit;
    unit.start = codes[k] > 0 && data[codes[k] - 1] == 0 ? codes[k] - 1 : codes[k];
    unit.body = codes[k] + 3;
    unit.end = k + 1 < codes.size() ? codes[k + 1] : length;
    // Zeros before the next start code (a 4-byte start code's first byte,
    // trailing zero bytes) are not part of this unit.
    while (unit.end > unit.body && data[unit.end - 1] == 0) --unit.end;
    units.push_back(unit);
  }
  return units;
}

std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t length, uint32_t codec) {
  std::vector<uint8_t> sets;
  for (const NalUnit& unit : SplitNalUnits(data, length)) {
    if (unit.body >= unit.end) continue;
    const uint8_t header = data[unit.body];
    bool parameterSet = false;
    if (codec == RK_CODEC_H264) {
      const int type = header & 0x1F;
      parameterSet = type == 7 || type == 8;
    } else if (codec == RK_CODEC_H265) {
      const int type = (header >> 1) & 0x3F;
      parameterSet = type == 32 || type == 33 || type == 34;
    }
    if (!parameterSet) continue;
    static const uint8_t kStartCode[] = {0, 0, 0, 1};
    sets.insert(sets.end(), kStartCode, kStartCode + 4);
    sets.insert(sets.end(), data + unit.body, data + unit.end);
  }
  return sets;
}

} // namespace recorder
