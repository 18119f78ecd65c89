#include "packet_reader.h"

#include <cstring>
#include <fmt/format.h>

namespace {

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t word;
  std::memcpy(&word, bytes.data() + offset, sizeof word);
  return word;
}

// The payload as quoted text when it is short printable text, else empty:
// plug-ins that greet the parent are readable on the console.
std::string TextOf(const uint8_t* payload, size_t length) {
  constexpr size_t kMaxShown = 200;
  while (length > 0 && payload[length - 1] == 0) --length;
  if (length == 0 || length > kMaxShown) return {};
  for (size_t i = 0; i < length; ++i) {
    if (payload[i] < 0x20 || payload[i] > 0x7E) return {};
  }
  return fmt::format(": \"{}\"", std::string(reinterpret_cast<const char*>(payload), length));
}

} // namespace

std::vector<std::string> PacketReader::Add(const uint8_t* data, size_t length) {
  std::vector<std::string> lines;
  pending_.insert(pending_.end(), data, data + length);
  while (pending_.size() >= 16) {
    const uint32_t size = WordAt(pending_, 0);
    if (size < 16 || size > kMaxAssembled) break;
    if (size > pending_.size()) return lines; // the rest follows in the next message
    const uint32_t address = WordAt(pending_, 4);
    lines.push_back(fmt::format("corvaned: packet from plug-in {:02x}: kind {}, {} bytes{}",
                                (address >> 20) & 0xFF, WordAt(pending_, 8), size,
                                TextOf(pending_.data() + 16, size - 16)));
    pending_.erase(pending_.begin(), pending_.begin() + size);
  }
  if (!pending_.empty()) {
    lines.push_back(
        fmt::format("corvaned: {} bytes without a packet header dropped", pending_.size()));
    pending_.clear();
  }
  return lines;
}

std::vector<uint8_t> MakePacket(uint32_t kind, uint32_t address, const std::string& payload) {
  std::vector<uint8_t> bytes(16 + payload.size());
  const uint32_t header[4] = {static_cast<uint32_t>(bytes.size()), address, kind, 0};
  std::memcpy(bytes.data(), header, sizeof header);
  if (!payload.empty()) std::memcpy(bytes.data() + 16, payload.data(), payload.size());
  return bytes;
}
