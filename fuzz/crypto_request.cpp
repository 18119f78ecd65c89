// The data-protection service on arbitrary records and buffers. Input:
// [u8 operation][u16 capacity][u16 valid count][buffer bytes...]; the buffer
// is exactly `capacity` bytes, filled from the input then zeros.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "util/data_protection.h"

using namespace corvane;

using namespace rk::core;

namespace {

constexpr uint64_t kOperations[] = {RK_CRYPTO_PROTECT,
                                    RK_CRYPTO_UNPROTECT,
                                    0,
                                    3,
                                    RK_CRYPTO_PROTECT | 0x1000000,
                                    RK_CRYPTO_UNPROTECT | 0x2000000};
const std::string kHost = "fuzz-host-identifier";

EventParms Record(uint64_t operation, std::vector<uint8_t>& buffer, uint64_t valid) {
  EventParms record{};
  record.size = sizeof record;
  record.version = RK_EVENT_VERSION;
  record.type = RK_TYPE_CRYPTO;
  record.flags = operation;
  record.length = static_cast<uint32_t>(buffer.size());
  record.data = buffer.empty() ? nullptr : buffer.data();
  record.level = valid;
  return record;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint64_t operation = kOperations[data[0] % std::size(kOperations)];
  uint16_t capacity;
  uint16_t valid;
  std::memcpy(&capacity, data + 1, 2);
  std::memcpy(&valid, data + 3, 2);
  data += 5;
  size -= 5;
  capacity %= 4097;
  std::vector<uint8_t> buffer(capacity, 0);
  if (capacity != 0) std::memcpy(buffer.data(), data, std::min<size_t>(size, capacity));
  const std::vector<uint8_t> before = buffer;

  EventParms record = Record(operation, buffer, valid);
  const uint32_t result = CryptoRequest(record, kHost);
  if (result == 0 && record.level > buffer.size()) std::abort(); // more valid than the buffer
  if (result != 0 && buffer != before) std::abort();             // failed, yet touched

  // A plaintext without zero bytes comes back exactly.
  const bool plain =
      valid != 0 && valid <= capacity && std::memchr(before.data(), 0, valid) == nullptr;
  if (operation == RK_CRYPTO_PROTECT && result == 0 && plain) {
    if (record.flags != RK_CRYPTO_UNPROTECT) std::abort();
    EventParms back = Record(RK_CRYPTO_UNPROTECT, buffer, record.level);
    if (CryptoRequest(back, kHost) != 0 || back.level != valid ||
        std::memcmp(buffer.data(), before.data(), valid) != 0) {
      std::abort();
    }
  }
  return 0;
}
