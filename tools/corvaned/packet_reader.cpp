#include "packet_reader.h"

#include <cstring>
#include <fmt/format.h>

#include "rk/core/ipc_packet.h"

namespace {

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
  while (pending_.size() >= rk::core::kIpcHeaderSize) {
    const auto header = rk::core::ReadIpcHeader(pending_.data());
    const uint32_t size = header.length;
    if (size < rk::core::kIpcHeaderSize || size > kMaxAssembled) break;
    if (size > pending_.size()) return lines; // the rest follows in the next message
    lines.push_back(fmt::format(
        "corvaned: packet from plug-in {:02x}: kind {}, {} bytes{}",
        rk::core::IpcTarget(header.address), header.kind, size,
        TextOf(pending_.data() + rk::core::kIpcHeaderSize, size - rk::core::kIpcHeaderSize)));
    pending_.erase(pending_.begin(), pending_.begin() + size);
  }
  if (!pending_.empty()) {
    lines.push_back(
        fmt::format("corvaned: {} bytes without a packet header dropped", pending_.size()));
    pending_.clear();
  }
  return lines;
}
