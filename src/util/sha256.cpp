#include "util/sha256.h"

#include <nettle/sha2.h>

namespace corvane {

std::array<uint8_t, 32> Sha256(std::string_view bytes) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  std::array<uint8_t, 32> digest{};
  sha256_digest(&context, digest.size(), digest.data());
  return digest;
}

} // namespace corvane
