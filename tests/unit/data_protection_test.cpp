// The data protection service called directly, as the event entry does.
#include <algorithm>
#include <atomic>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <thread>
#include <vector>

#include "util/data_protection.h"
#include "util/host_identifier.h"
#include "util/sha256.h"

using namespace corvane;

using namespace rk::core;

namespace {

const std::string kHost = "unit host\n";

struct Request {
  std::vector<uint8_t> buffer;
  EventParms record{};

  Request(uint64_t op, size_t capacity, std::vector<uint8_t> input) : buffer(capacity + 8, 0xEE) {
    std::copy(input.begin(), input.end(), buffer.begin());
    InitEvent(record);
    record.type = RK_TYPE_CRYPTO;
    record.flags = op;
    record.length = static_cast<uint32_t>(capacity);
    record.data = buffer.data();
    record.level = input.size();
  }
  uint32_t Run() { return CryptoRequest(record, kHost); }
  std::vector<uint8_t> Output() const {
    return {buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(record.level)};
  }
  bool GuardIntact() const {
    return std::all_of(buffer.end() - 8, buffer.end(), [](uint8_t b) { return b == 0xEE; });
  }
};

std::vector<uint8_t> Text(size_t bytes) {
  std::vector<uint8_t> text(bytes);
  for (size_t i = 0; i < bytes; ++i) text[i] = static_cast<uint8_t>('a' + i % 26);
  return text;
}

std::vector<uint8_t> Protect(const std::vector<uint8_t>& text) {
  Request r(RK_CRYPTO_PROTECT, text.size() + 48, text);
  EXPECT_EQ(r.Run(), 0u);
  return r.Output();
}

} // namespace

TEST(DataProtectionUnit, LengthsRoundTripsAndFreshVectors) {
  for (const auto& [bytes, sealedBytes] : std::vector<std::pair<size_t, size_t>>{{1, 32},
                                                                                 {5, 32},
                                                                                 {15, 32},
                                                                                 {16, 32},
                                                                                 {17, 48},
                                                                                 {31, 48},
                                                                                 {32, 64},
                                                                                 {48, 80},
                                                                                 {100, 128}}) {
    SCOPED_TRACE(bytes);
    const auto sealed = Protect(Text(bytes));
    ASSERT_EQ(sealed.size(), sealedBytes);
    EXPECT_NE(sealed, Protect(Text(bytes)));

    Request open(RK_CRYPTO_UNPROTECT, sealed.size(), sealed);
    EXPECT_EQ(open.Run(), 0u);
    EXPECT_EQ(open.record.flags, RK_CRYPTO_PROTECT);
    EXPECT_EQ(open.Output(), Text(bytes));
    EXPECT_TRUE(std::all_of(open.buffer.begin() + static_cast<ptrdiff_t>(bytes),
                            open.buffer.begin() + static_cast<ptrdiff_t>(sealed.size()),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(open.GuardIntact());
  }
}

TEST(DataProtectionUnit, KeyIsBoundToTheHostIdentifier) {
  const auto sealed = Protect(Text(12));
  Request other(RK_CRYPTO_UNPROTECT, sealed.size(), sealed);
  const uint32_t result = CryptoRequest(other.record, "another host\n");
  // A foreign key yields noise: refused, cut short, or anything but the text.
  EXPECT_TRUE(result != 0 || other.Output() != Text(12));

  // The same bytes under the right key decrypt with plain EVP too.
  const auto key = Sha256(kHost);
  std::vector<uint8_t> plain(sealed.size());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, last = 0;
  ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), sealed.data()), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  ASSERT_EQ(EVP_DecryptUpdate(ctx, plain.data(), &n, sealed.data() + 16, 16), 1);
  ASSERT_EQ(EVP_DecryptFinal_ex(ctx, plain.data() + n, &last), 1);
  EVP_CIPHER_CTX_free(ctx);
  plain.resize(16);
  auto expected = Text(12);
  expected.resize(16, 0);
  EXPECT_EQ(plain, expected);
}

TEST(DataProtectionUnit, ResultCodesAndUntouchedRecords) {
  // Capacity first, whatever the operation.
  for (const uint64_t op : {2u, 1024u, 4u, 0u}) {
    Request r(op, 0, {});
    EXPECT_EQ(r.Run(), 0xFFFFFFFEu) << op;
  }
  Request unknown(4, 64, Text(5));
  EXPECT_EQ(unknown.Run(), 0xFFFFFFFFu);

  Request small(RK_CRYPTO_PROTECT, 20, Text(5));
  const auto before = small.buffer;
  EXPECT_EQ(small.Run(), 32u);
  EXPECT_EQ(small.buffer, before);
  EXPECT_EQ(small.record.level, 5u);
  EXPECT_EQ(small.record.flags, RK_CRYPTO_PROTECT);
  Request exact(RK_CRYPTO_PROTECT, 32, Text(5)); // exactly the protected size fits
  EXPECT_EQ(exact.Run(), 0u);
  EXPECT_EQ(exact.record.level, 32u);

  Request empty(RK_CRYPTO_PROTECT, 8, {});
  EXPECT_EQ(empty.Run(), 0u);
  EXPECT_EQ(empty.record.level, 0u);
  EXPECT_EQ(empty.record.flags, RK_CRYPTO_UNPROTECT);
  EXPECT_EQ(empty.buffer, std::vector<uint8_t>(16, 0xEE));

  for (const uint64_t op : {RK_CRYPTO_PROTECT, RK_CRYPTO_UNPROTECT}) {
    Request over(op, 32, Text(32));
    over.record.level = 33;
    const auto untouched = over.buffer;
    EXPECT_EQ(over.Run(), 0xFFFFFFFEu);
    EXPECT_EQ(over.buffer, untouched);
  }

  const auto sealed = Protect(Text(40));
  for (const size_t cut : {0u, 15u, 17u, 31u, 40u, 63u}) {
    Request bad(RK_CRYPTO_UNPROTECT, 64, {sealed.begin(), sealed.begin() + cut});
    EXPECT_EQ(bad.Run(), 0xFFFFFFFEu) << cut;
  }
  // The vector alone is well formed and holds no plaintext.
  Request vectorOnly(RK_CRYPTO_UNPROTECT, 64, {sealed.begin(), sealed.begin() + 16});
  EXPECT_EQ(vectorOnly.Run(), 0xFFFFFFF3u);

  auto zeroFirst = Text(6);
  zeroFirst[0] = 0;
  const auto sealedZero = Protect(zeroFirst);
  Request none(RK_CRYPTO_UNPROTECT, 32, sealedZero);
  EXPECT_EQ(none.Run(), 0xFFFFFFF3u);
  EXPECT_EQ(none.Output(), sealedZero);
}

TEST(DataProtectionUnit, FallbackIdentifierIsTheEmptyDigest) {
  const auto digest = Sha256("");
  std::string hex;
  for (const uint8_t b : digest) hex += fmt::format("{:02x}", b);
  EXPECT_EQ(hex, kFallbackHostId);
}

TEST(DataProtectionUnit, ConcurrentRequestsShareNothing) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      for (int i = 0; i < 200; ++i) {
        const auto text = Text(static_cast<size_t>(1 + (t * 31 + i) % 60));
        Request seal(RK_CRYPTO_PROTECT, text.size() + 48, text);
        if (seal.Run() != 0) ++failures;
        Request open(RK_CRYPTO_UNPROTECT, seal.record.level, seal.Output());
        if (open.Run() != 0 || open.Output() != text) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}
