// The IPC channel in-process: a core that never ran, its I/O context driven
// by the test, and a real socket pair whose other end plays the parent.
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/dvr_core.h"

using namespace corvane;

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> Packet(uint32_t kind, uint32_t address, const std::string& payload) {
  return rk::core::MakeIpcPacket(kind, address, payload);
}

class IpcChannelTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair_), 0);
    ASSERT_TRUE(core_.ipc.Adopt(static_cast<uint32_t>(pair_[1])));
    core_.ipc.StartReceive();
  }
  void TearDown() override {
    if (pair_[0] >= 0) ::close(pair_[0]);
  }

  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(pair_[0], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  // Runs the core's handlers until `done` holds (10 s at most).
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (core_.io.stopped()) core_.io.restart();
      core_.io.run_one_for(50ms);
    }
    return true;
  }
  // Sends an identity packet and runs until the parent texts change.
  std::pair<std::string, std::string> Identity(const std::string& payload) {
    std::vector<uint8_t> bytes = Packet(7, 0, payload);
    Send(bytes);
    const auto before = core_.ipc.ParentTexts();
    RunUntil([&] { return core_.ipc.ParentTexts() != before; });
    return core_.ipc.ParentTexts();
  }

  DvrCore core_{"/nonexistent/bin/corvane-core"};
  int pair_[2] = {-1, -1};
};

} // namespace

TEST_F(IpcChannelTest, ParentIdentityFields) {
  using Texts = std::pair<std::string, std::string>;
  EXPECT_EQ(Identity(std::string("a\0b\0", 4)), Texts("a", "b"));
  // One field replaces the file name only; a trailing NUL adds no field.
  EXPECT_EQ(Identity(std::string("c\0", 2)), Texts("c", "b"));
  EXPECT_EQ(Identity("d"), Texts("d", "b"));
  // Two NULs in a row make an empty field.
  EXPECT_EQ(Identity(std::string("e\0\0x", 4)), Texts("e", ""));
  EXPECT_EQ(Identity(std::string("f\0v2", 4)), Texts("f", "v2"));
  EXPECT_FALSE(core_.log.ConsoleOff());

  const std::vector<std::string> near = {"background:true", "Background:True",  "Background:true ",
                                         "Background:tru",  "Background:truex", " Background:true"};
  for (size_t i = 0; i < near.size(); ++i) {
    Identity("g" + std::to_string(i) + std::string(1, '\0') + "v3" + std::string(1, '\0') +
             near[i]);
    EXPECT_FALSE(core_.log.ConsoleOff()) << near[i];
  }
  // "Background:true" as the second field sets nothing.
  Identity(std::string("h\0Background:true", 17));
  EXPECT_FALSE(core_.log.ConsoleOff());

  EXPECT_EQ(Identity(std::string("corvaned\0"
                                 "9.9\0"
                                 "Background:true\0"
                                 "ignored",
                                 36)),
            Texts("corvaned", "9.9"));
  EXPECT_TRUE(core_.log.ConsoleOff());
  // A later packet without the third field leaves the console off.
  EXPECT_EQ(Identity(std::string("i\0v4", 4)), Texts("i", "v4"));
  EXPECT_TRUE(core_.log.ConsoleOff());
  EXPECT_FALSE(core_.Stopping());
}

TEST_F(IpcChannelTest, IdentityStopAndUnknownTargetsAreNotCounted) {
  // Header-only identity, a packet for an id no plug-in has, then a stop.
  std::vector<uint8_t> bytes = Packet(7, 0, "");
  for (auto part : {Packet(1234, 0x4200000, "lost"), Packet(8, 0, "")})
    bytes.insert(bytes.end(), part.begin(), part.end());
  Send(bytes);
  ASSERT_TRUE(RunUntil([&] { return core_.Stopping(); }));
  EXPECT_EQ(core_.ipc.ParentTexts(), std::make_pair(std::string(), std::string()));
  EXPECT_EQ(core_.counters.ipcDelivered.load(), 0u);
  EXPECT_EQ(core_.counters.ipcDeliveredBytes.load(), 0u);
  EXPECT_TRUE(core_.ipc.HasChannel()); // a stop request keeps the channel
}

TEST_F(IpcChannelTest, ForwardSplitsLongPacketsAndCounts) {
  std::vector<uint8_t> big(65536 * 2 + 100);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + 7);
  EXPECT_EQ(core_.ipc.Forward(big.data(), static_cast<uint32_t>(big.size())), 0u);
  std::memset(big.data(), 0, 16); // the core copied before returning
  const char small[] = "after";
  EXPECT_EQ(core_.ipc.Forward(small, 5), 0u);
  EXPECT_EQ(core_.counters.ipcForwarded.load(), 2u);

  std::vector<std::vector<uint8_t>> received;
  ASSERT_TRUE(RunUntil([&] {
    pollfd p{pair_[0], POLLIN, 0};
    if (::poll(&p, 1, 0) == 1) {
      std::vector<uint8_t> message(200000);
      const ssize_t n = ::recv(pair_[0], message.data(), message.size(), 0);
      if (n > 0) received.emplace_back(message.begin(), message.begin() + n);
    }
    return received.size() == 4;
  }));
  EXPECT_EQ(received[0].size(), 65536u);
  EXPECT_EQ(received[1].size(), 65536u);
  EXPECT_EQ(received[2].size(), 100u);
  EXPECT_EQ(std::string(received[3].begin(), received[3].end()), "after");
  for (size_t i = 16; i < big.size(); ++i)
    ASSERT_EQ(received[i / 65536][i % 65536], static_cast<uint8_t>(i * 31 + 7)) << i;
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(received[0][i], static_cast<uint8_t>(i * 31 + 7));
}

TEST_F(IpcChannelTest, ParentGoneStopsAndRefusesForwarding) {
  ::close(pair_[0]);
  pair_[0] = -1;
  ASSERT_TRUE(RunUntil([&] { return core_.Stopping(); }));
  EXPECT_FALSE(core_.ipc.HasChannel());
  const char text[] = "x";
  EXPECT_EQ(core_.ipc.Forward(text, 1), 1u);
  EXPECT_EQ(core_.counters.ipcForwarded.load(), 0u);
}

TEST(IpcChannelNoSocket, FirstReceiveFailsAndStops) {
  DvrCore core("/nonexistent/bin/corvane-core");
  EXPECT_FALSE(core.ipc.HasChannel());
  EXPECT_EQ(core.ipc.Forward("x", 1), 1u);
  core.ipc.StartReceive();
  core.io.run(); // returns once nothing is left to do
  EXPECT_TRUE(core.Stopping());
  // A descriptor that is not open cannot be adopted.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_FALSE(core.ipc.Adopt(static_cast<uint32_t>(pipeFds[0])));
}
