#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Frames what the core relays from plug-ins into packets by their length
// word (a packet longer than one message arrives as several) and describes
// each in one line.
class PacketReader {
public:
  // Packets longer than this are not plausible; their bytes are dropped.
  static constexpr uint32_t kMaxAssembled = 16u << 20;

  // Takes one received message; returns a summary line per completed packet
  // or dropped run of bytes.
  std::vector<std::string> Add(const uint8_t* data, size_t length);

private:
  std::vector<uint8_t> pending_;
};
