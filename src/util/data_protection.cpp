#include "util/data_protection.h"

#include <array>
#include <climits>
#include <cstring>
#include <nettle/aes.h>
#include <nettle/cbc.h>
#include <nettle/nettle-meta.h>
#include <new>
#include <vector>

#include "util/guid.h"
#include "util/sha256.h"

namespace corvane {

using namespace rk::core;

namespace {

constexpr uint32_t kDone = RK_POST_OK;
constexpr uint32_t kBadOperation = RK_CRYPTO_BAD_OPERATION;
constexpr uint32_t kRefused = RK_CRYPTO_BAD_LENGTH;
constexpr uint32_t kNoPlaintext = RK_CRYPTO_EMPTY_RESULT;

constexpr uint64_t kOperationMask = 0xFFFFFF;
constexpr uint64_t kProtect = RK_CRYPTO_PROTECT;
constexpr uint64_t kUnprotect = RK_CRYPTO_UNPROTECT;

constexpr size_t kBlock = 16;
constexpr size_t kWorkSlack = 48;
// Nothing near 2 GiB is a secret worth keeping, and the work buffer's size
// stays far from overflow.
constexpr size_t kLargestInput = INT_MAX - 2 * kWorkSlack;

// One request's context: the zero-filled work buffer, the key and its
// schedules, all wiped when the request ends, whatever its outcome.
class Transform {
public:
  Transform(size_t valid, const std::string& hostId)
      : work_(valid + kWorkSlack, 0), key_(Sha256(hostId)) {
    // AES-128 takes the digest's first 16 bytes.
    aes128_set_encrypt_key(&encrypt_, key_.data());
  }
  ~Transform() {
    explicit_bzero(work_.data(), work_.size());
    explicit_bzero(key_.data(), key_.size());
    explicit_bzero(&encrypt_, sizeof encrypt_);
    explicit_bzero(&decrypt_, sizeof decrypt_);
  }
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  uint8_t* work() { return work_.data(); }

  // AES-128 of one block, in place.
  void EncryptBlock(uint8_t* block) { aes128_encrypt(&encrypt_, kBlock, block, block); }
  // AES-128-CBC in place over whole blocks, no padding of its own.
  void Cbc(bool encrypt, const uint8_t* iv, uint8_t* data, size_t length) {
    uint8_t chain[kBlock];
    std::memcpy(chain, iv, kBlock);
    if (encrypt) {
      cbc_encrypt(&encrypt_, nettle_aes128.encrypt, kBlock, chain, length, data, data);
    } else {
      aes128_invert_key(&decrypt_, &encrypt_);
      cbc_decrypt(&decrypt_, nettle_aes128.decrypt, kBlock, chain, length, data, data);
    }
    explicit_bzero(chain, sizeof chain);
  }

private:
  std::vector<uint8_t> work_;
  std::array<uint8_t, 32> key_;
  aes128_ctx encrypt_;
  aes128_ctx decrypt_{};
};

uint32_t Protect(EventParms& record, uint8_t* buffer, const std::string& hostId) {
  const size_t n = record.level;
  if (n == 0) {
    // Nothing to hide: no vector, no ciphertext, an empty protected form.
    record.level = 0;
    record.flags = kUnprotect;
    return kDone;
  }
  Transform transform(n, hostId);
  uint8_t* work = transform.work();
  std::memcpy(work + kBlock, buffer, n);
  // Zero padding; exactly 16 bytes need none, longer whole blocks get one.
  const size_t padding = n > kBlock ? kBlock - n % kBlock : kBlock - n;
  NewRandomBlock(work);
  transform.EncryptBlock(work);
  transform.Cbc(true, work, work + kBlock, n + padding);

  const size_t output = kBlock + n + padding;
  if (output > record.length) return static_cast<uint32_t>(output);
  std::memcpy(buffer, work, output);
  record.level = output;
  record.flags = kUnprotect;
  return kDone;
}

// Where the plaintext ends: a trailing "0, c" pair drops c bytes (when c is a
// plausible count), otherwise the text stops at its first zero byte.
size_t PlaintextLength(const uint8_t* plain, size_t length) {
  if (length <= 1) return length;
  const auto count = static_cast<int8_t>(plain[length - 1]);
  if (plain[length - 2] == 0 && count != 0) {
    return count >= 1 && static_cast<size_t>(count) < length ? length - count : length;
  }
  const void* zero = std::memchr(plain, 0, length);
  return zero == nullptr ? length : static_cast<size_t>(static_cast<const uint8_t*>(zero) - plain);
}

uint32_t Unprotect(EventParms& record, uint8_t* buffer, const std::string& hostId) {
  const size_t n = record.level;
  // The vector and whole blocks, nothing else: anything shorter or ragged was
  // never made by Protect and would make us read past it. The vector alone
  // holds no plaintext.
  if (n < kBlock || (n - kBlock) % kBlock != 0) return kRefused;
  Transform transform(n, hostId);
  uint8_t* work = transform.work();
  std::memcpy(work, buffer, n);
  uint8_t* plain = work + kBlock;
  if (n > kBlock) transform.Cbc(false, work, plain, n - kBlock);

  const size_t length = PlaintextLength(plain, n - kBlock);
  if (length == 0) return kNoPlaintext;
  if (length > record.length) return static_cast<uint32_t>(length);
  std::memcpy(buffer, plain, length);
  std::memset(buffer + length, 0, record.length - length);
  record.level = length;
  record.flags = kProtect;
  return kDone;
}

} // namespace

uint32_t CryptoRequest(EventParms& record, const std::string& hostId) {
  if (record.length == 0 || record.data == nullptr) return kRefused;
  const uint64_t operation = record.flags & kOperationMask;
  if (operation != kProtect && operation != kUnprotect) return kBadOperation;
  // A valid count beyond the buffer would have us read (and write) past it.
  if (record.level > record.length || record.level > kLargestInput) return kRefused;
  // The caller's buffer is in/out by contract; the record only types it const.
  auto* buffer = static_cast<uint8_t*>(const_cast<void*>(record.data));
  try {
    return operation == kProtect ? Protect(record, buffer, hostId)
                                 : Unprotect(record, buffer, hostId);
  } catch (const std::bad_alloc&) {
    return kRefused; // no work buffer: nothing was touched
  }
}

} // namespace corvane
