#pragma once
#include <array>
#include <cstdint>
#include <string_view>

namespace corvane {

// SHA-256 of `bytes` (Nettle's: no allocation, nothing that can fail).
std::array<uint8_t, 32> Sha256(std::string_view bytes);

} // namespace corvane
