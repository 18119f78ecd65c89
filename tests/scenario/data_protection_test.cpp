// The data protection service as plug-ins see it: crypto records posted
// through the callback of a running core, answered in place.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "core_harness.h"

namespace {

constexpr uint32_t kBadOperation = 0xFFFFFFFFu;
constexpr uint32_t kRefused = 0xFFFFFFFEu;
constexpr uint32_t kNoPlaintext = 0xFFFFFFF3u;
const std::string kGuard = "eeeeeeee"; // the probe's fill after the buffer

struct Answer {
  uint32_t ret = 0;
  uint64_t flags = 0;
  uint64_t valid = 0;
  std::string out;   // the whole buffer, hex
  std::string guard; // four bytes after it, hex
};

Answer Crypto(ProbeControl& probe, uint64_t op, size_t cap, const std::string& hex,
              const std::string& extra = "") {
  const std::string line =
      probe.Command("crypto op=" + std::to_string(op) + " cap=" + std::to_string(cap) +
                    " hex=" + hex + " " + extra);
  Answer a;
  a.ret = static_cast<uint32_t>(std::stoull(ProbeControl::Field(line, "ret")));
  a.flags = std::stoull(ProbeControl::Field(line, "flags"));
  a.valid = std::stoull(ProbeControl::Field(line, "valid"));
  a.out = ProbeControl::Field(line, "out");
  a.guard = ProbeControl::Field(line, "guard");
  return a;
}

std::string Fill(size_t bytes, const std::string& hexByte) {
  std::string text;
  for (size_t i = 0; i < bytes; ++i) text += hexByte;
  return text;
}

// A text of `bytes` bytes without zeros, distinct per length.
std::string Text(size_t bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < bytes; ++i) {
    const unsigned v = 0x41 + (i * 7 + bytes) % 50;
    hex += digits[v >> 4];
    hex += digits[v & 15];
  }
  return hex;
}

class DataProtection : public ::testing::Test {
protected:
  void SetUp() override {
    layout.WriteFile("scripts/get_id.sh", "#!/bin/sh\necho 'vault host 7'\n");
    layout.AddProbe("p1.so", "id 0x10000\ncontrol 1\n");
    core.Start();
    probe.emplace(layout, "p1.so");
  }
  void TearDown() override {
    probe.reset();
    core.Signal(SIGTERM);
    const ExitStatus status = core.Wait(30s);
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0) << core.Stderr();
  }

  // Protects `hex` and checks the buffer, then returns the protected bytes.
  std::string Protect(const std::string& hex, size_t expectedLength) {
    const size_t cap = 96;
    const Answer a = Crypto(*probe, 2, cap, hex);
    EXPECT_EQ(a.ret, 0u);
    EXPECT_EQ(a.flags, 1024u);
    EXPECT_EQ(a.valid, expectedLength);
    EXPECT_EQ(a.out.substr(2 * expectedLength), Fill(cap - expectedLength, "ee"));
    EXPECT_EQ(a.guard, kGuard);
    return a.out.substr(0, 2 * expectedLength);
  }

  // Unprotects and expects `plain` followed by zeros up to the capacity.
  void ExpectUnprotects(const std::string& protectedHex, const std::string& plain) {
    const size_t cap = protectedHex.size() / 2;
    const Answer a = Crypto(*probe, 1024, cap, protectedHex);
    EXPECT_EQ(a.ret, 0u);
    EXPECT_EQ(a.flags, 2u);
    EXPECT_EQ(a.valid, plain.size() / 2);
    EXPECT_EQ(a.out, plain + Fill(cap - plain.size() / 2, "00"));
    EXPECT_EQ(a.guard, kGuard);
  }

  CoreLayout layout;
  CoreProcess core{layout};
  std::optional<ProbeControl> probe;
};

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    if (::pclose(pipe) != 0) out = "failed: " + out;
  }
  return out;
}

void WriteHex(const fs::path& path, const std::string& hex) {
  std::ofstream out(path, std::ios::binary);
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.put(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
}

std::string ReadHex(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream hex;
  char c;
  while (in.get(c)) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(static_cast<uint8_t>(c)));
    hex << two;
  }
  return hex.str();
}

} // namespace

TEST_F(DataProtection, RoundTripsWithTheirProtectedLengths) {
  for (const auto& [bytes, protectedBytes] :
       std::vector<std::pair<size_t, size_t>>{{5, 32}, {16, 32}, {17, 48}, {32, 64}}) {
    SCOPED_TRACE(bytes);
    const std::string text = Text(bytes);
    const std::string first = Protect(text, protectedBytes);
    const std::string second = Protect(text, protectedBytes);
    EXPECT_NE(first, second); // a fresh vector every time
    EXPECT_NE(first.substr(32), second.substr(32));
    ExpectUnprotects(first, text);
    ExpectUnprotects(second, text);
  }

  // Empty input: nothing encrypted, nothing written, yet done.
  Answer empty = Crypto(*probe, 2, 16, "");
  EXPECT_EQ(empty.ret, 0u);
  EXPECT_EQ(empty.valid, 0u);
  EXPECT_EQ(empty.flags, 1024u);
  EXPECT_EQ(empty.out, Fill(16, "ee"));

  // The modifier bit on the operation word's high part is not an operation.
  Answer high = Crypto(*probe, 0x1000002, 64, Text(5));
  EXPECT_EQ(high.ret, 0u);
  EXPECT_EQ(high.valid, 32u);
  EXPECT_EQ(high.flags, 1024u);
}

TEST_F(DataProtection, RefusalsLeaveTheRecordAndBufferAlone) {
  const std::string text = Text(5);
  // Too small a buffer: the size it needs, nothing changed.
  Answer small = Crypto(*probe, 2, 20, text);
  EXPECT_EQ(small.ret, 32u);
  EXPECT_EQ(small.flags, 2u);
  EXPECT_EQ(small.valid, 5u);
  EXPECT_EQ(small.out, text + Fill(15, "ee"));
  EXPECT_EQ(small.guard, kGuard);

  // Unknown operations; no capacity whatever the operation.
  EXPECT_EQ(Crypto(*probe, 4, 64, text).ret, kBadOperation);
  EXPECT_EQ(Crypto(*probe, 0, 64, text).ret, kBadOperation);
  for (const uint64_t op : {2u, 1024u, 4u}) {
    EXPECT_EQ(Crypto(*probe, op, 0, "").ret, kRefused) << op;
    EXPECT_EQ(Crypto(*probe, op, 0, "", "withbuffer").ret, kRefused) << op;
  }

  // A valid count beyond the buffer is refused before any byte is read.
  for (const uint64_t op : {2u, 1024u}) {
    Answer over = Crypto(*probe, op, 8, Text(8), "valid=4000");
    EXPECT_EQ(over.ret, kRefused);
    EXPECT_EQ(over.valid, 4000u);
    EXPECT_EQ(over.flags, op);
    EXPECT_EQ(over.out, Text(8));
    EXPECT_EQ(over.guard, kGuard);
  }

  // Protected forms never shorter than the vector, never ragged; the vector
  // alone has nothing to give back.
  const std::string sealed = Protect(Text(20), 48);
  EXPECT_EQ(Crypto(*probe, 1024, 48, sealed.substr(0, 32), "valid=16").ret, kNoPlaintext);
  for (const size_t bytes : {0u, 1u, 15u, 31u, 33u, 47u}) {
    const std::string cut = sealed.substr(0, 2 * bytes);
    Answer bad = Crypto(*probe, 1024, 48, cut, "valid=" + std::to_string(bytes));
    EXPECT_EQ(bad.ret, kRefused) << bytes;
    EXPECT_EQ(bad.flags, 1024u);
    EXPECT_EQ(bad.out, cut + Fill(48 - bytes, "ee")) << bytes;
  }

  // A plaintext that begins with a zero byte has nothing to give back.
  const std::string zeroFirst = Protect("00" + Text(9), 32);
  Answer none = Crypto(*probe, 1024, 32, zeroFirst);
  EXPECT_EQ(none.ret, kNoPlaintext);
  EXPECT_EQ(none.flags, 1024u);
  EXPECT_EQ(none.valid, 32u);
  EXPECT_EQ(none.out, zeroFirst);
}

TEST_F(DataProtection, PlaintextEndsAtTheFirstZeroOrATrailingCount) {
  // Embedded zero: cut there.
  ExpectUnprotects(Protect(Text(4) + "00" + Text(6), 32), Text(4));
  // A whole block ending "00 03": three bytes dropped from its end.
  ExpectUnprotects(Protect(Text(14) + "0003", 32), Text(14).substr(0, 26));
  // "00 ff" is a negative count, "00 10" too large a one: all 16 bytes stay.
  ExpectUnprotects(Protect(Text(14) + "00ff", 32), Text(14) + "00ff");
  ExpectUnprotects(Protect(Text(14) + "0010", 32), Text(14) + "0010");
}

TEST_F(DataProtection, OpenSslDecryptsWithTheHostKeyAndStoredVector) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl command";
  const fs::path dir = layout.root;
  // The identifier keeps the script's line feed.
  layout.WriteFile("id.txt", "vault host 7\n");
  const std::string digest = Shell("openssl dgst -sha256 -r " + (layout.work / "id.txt").string());
  ASSERT_GE(digest.size(), 64u) << digest;
  const std::string key = digest.substr(0, 32);

  for (const size_t bytes : {5u, 32u, 37u}) {
    SCOPED_TRACE(bytes);
    const std::string text = Text(bytes);
    const size_t padded = bytes > 16 ? (bytes / 16 + 1) * 16 : 16;
    const std::string sealed = Protect(text, 16 + padded);
    const std::string iv = sealed.substr(0, 32);
    WriteHex(dir / "body.bin", sealed.substr(32));
    ASSERT_EQ(Shell("openssl enc -d -aes-128-cbc -nopad -K " + key + " -iv " + iv + " -in " +
                    (dir / "body.bin").string() + " -out " + (dir / "plain.bin").string()),
              "");
    EXPECT_EQ(ReadHex(dir / "plain.bin"), text + Fill(padded - bytes, "00"));

    // The vector is one encrypted random block: 8-11 repeat at 12-15, 6-7 at 8-9.
    WriteHex(dir / "iv.bin", iv);
    ASSERT_EQ(Shell("openssl enc -d -aes-128-ecb -nopad -K " + key + " -in " +
                    (dir / "iv.bin").string() + " -out " + (dir / "block.bin").string()),
              "");
    const std::string block = ReadHex(dir / "block.bin");
    ASSERT_EQ(block.size(), 32u);
    EXPECT_EQ(block.substr(16, 8), block.substr(24, 8));
    EXPECT_EQ(block.substr(12, 4), block.substr(16, 4));
  }
}
