#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

// SHA-256 through libcrypto. Nothing when libcrypto cannot run the digest
// (out of memory): callers must not fall back to a fixed key.
std::optional<std::array<uint8_t, 32>> Sha256(std::string_view bytes);

} // namespace corvane
