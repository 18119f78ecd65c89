#include "util/data_protection.h"

#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <openssl/crypto.h>
#include <openssl/evp.h>
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
// EVP takes int lengths; nothing near this size is a secret worth keeping.
constexpr size_t kLargestInput = INT_MAX - 2 * kWorkSlack;

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// One request's context: the zero-filled work buffer and the key, both wiped
// when the request ends, whatever its outcome.
class Transform {
public:
  explicit Transform(size_t valid) : work_(valid + kWorkSlack, 0) {}
  ~Transform() {
    OPENSSL_cleanse(work_.data(), work_.size());
    OPENSSL_cleanse(key_.data(), key_.size());
  }
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  bool DeriveKey(const std::string& hostId) {
    const auto digest = Sha256(hostId);
    if (!digest) return false;
    key_ = *digest;
    return true;
  }

  uint8_t* work() { return work_.data(); }

  // AES-128 (the key's first 16 bytes) of one block, in place.
  bool EncryptBlock(uint8_t* block) { return Run(EVP_aes_128_ecb(), 1, nullptr, block, kBlock); }
  // AES-128-CBC in place over whole blocks, no padding of its own.
  bool Cbc(bool encrypt, const uint8_t* iv, uint8_t* data, size_t length) {
    return Run(EVP_aes_128_cbc(), encrypt ? 1 : 0, iv, data, length);
  }

private:
  bool Run(const EVP_CIPHER* cipher, int encrypt, const uint8_t* iv, uint8_t* data, size_t length) {
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key_.data(), iv, encrypt) != 1) return false;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int out = 0;
    int last = 0;
    if (EVP_CipherUpdate(ctx.get(), data, &out, data, static_cast<int>(length)) != 1) return false;
    if (EVP_CipherFinal_ex(ctx.get(), data + out, &last) != 1) return false;
    return static_cast<size_t>(out + last) == length;
  }

  std::vector<uint8_t> work_;
  std::array<uint8_t, 32> key_{};
};

uint32_t Protect(EventParms& record, uint8_t* buffer, const std::string& hostId) {
  const size_t n = record.level;
  if (n == 0) {
    // Nothing to hide: no vector, no ciphertext, an empty protected form.
    record.level = 0;
    record.flags = kUnprotect;
    return kDone;
  }
  Transform transform(n);
  if (!transform.DeriveKey(hostId)) return kRefused;
  uint8_t* work = transform.work();
  std::memcpy(work + kBlock, buffer, n);
  // Zero padding; exactly 16 bytes need none, longer whole blocks get one.
  const size_t padding = n > kBlock ? kBlock - n % kBlock : kBlock - n;
  NewRandomBlock(work);
  if (!transform.EncryptBlock(work)) return kRefused;
  if (!transform.Cbc(true, work, work + kBlock, n + padding)) return kRefused;

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
  Transform transform(n);
  if (!transform.DeriveKey(hostId)) return kRefused;
  uint8_t* work = transform.work();
  std::memcpy(work, buffer, n);
  uint8_t* plain = work + kBlock;
  if (n > kBlock && !transform.Cbc(false, work, plain, n - kBlock)) return kRefused;

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
