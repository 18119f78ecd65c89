#include "ipcam/adts_framer.h"

namespace ipcam {

bool AdtsFramer::Open(const uint8_t* extradata, int size) {
  if (extradata == nullptr || size < 2) return false;
  const int objectType = extradata[0] >> 3;
  frequencyIndex_ = ((extradata[0] & 7) << 1) | (extradata[1] >> 7);
  channelConfig_ = (extradata[1] >> 3) & 0xF;
  // ADTS has two bits for the profile and no escape for explicit frequencies.
  if (objectType < 1 || objectType > 4 || frequencyIndex_ > 12) return false;
  profile_ = objectType - 1;
  return true;
}

void AdtsFramer::Frame(const uint8_t* data, size_t size, std::vector<uint8_t>& out) const {
  out.clear();
  if (size >= 2 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0) {
    out.assign(data, data + size);
    return;
  }
  const size_t length = size + 7;
  out.reserve(length);
  out.push_back(0xFF);
  out.push_back(0xF1); // MPEG-4, no CRC
  out.push_back(
      static_cast<uint8_t>((profile_ << 6) | (frequencyIndex_ << 2) | ((channelConfig_ >> 2) & 1)));
  out.push_back(static_cast<uint8_t>(((channelConfig_ & 3) << 6) | ((length >> 11) & 3)));
  out.push_back(static_cast<uint8_t>((length >> 3) & 0xFF));
  out.push_back(static_cast<uint8_t>(((length & 7) << 5) | 0x1F)); // buffer fullness: VBR
  out.push_back(0xFC);
  out.insert(out.end(), data, data + size);
}

} // namespace ipcam
