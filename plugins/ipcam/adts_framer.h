#pragma once
// Raw AAC frames (RTSP, MP4) as ADTS frames, the form audio records carry.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ipcam {

class AdtsFramer {
public:
  // Reads the AudioSpecificConfig; false when it is missing or not usable.
  bool Open(const uint8_t* extradata, int size);
  // `out` = the frame with an ADTS header; frames that have one pass as they are.
  void Frame(const uint8_t* data, size_t size, std::vector<uint8_t>& out) const;

private:
  int profile_ = 1;        // audio object type - 1
  int frequencyIndex_ = 4; // 44.1 kHz
  int channelConfig_ = 2;
};

} // namespace ipcam
