// The random GUID source, including a random device that is missing, empty
// or slow, swapped in inside a private mount namespace of a child process.
#include <array>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "util/guid.h"

using namespace corvane;

namespace {

bool WriteText(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// A mount namespace of our own, where mounts never reach the host: directly
// as root, else as the mapped root of a new user namespace.
bool IsolateMounts() {
  if (::unshare(CLONE_NEWNS) != 0) {
    const std::string uid = std::to_string(::getuid());
    const std::string gid = std::to_string(::getgid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    WriteText("/proc/self/setgroups", "deny");
    if (!WriteText("/proc/self/uid_map", "0 " + uid + " 1") ||
        !WriteText("/proc/self/gid_map", "0 " + gid + " 1")) {
      return false;
    }
  }
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool ReplaceDevice(const char* with) {
  return IsolateMounts() && ::mount(with, "/dev/urandom", nullptr, MS_BIND, nullptr) == 0;
}

bool HideDevice() {
  return IsolateMounts() && ::mount("none", "/dev", "tmpfs", 0, nullptr) == 0;
}

bool NamespacesAvailable() {
  const pid_t child = ::fork();
  if (child == 0) _exit(ReplaceDevice("/dev/null") ? 0 : 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The device becomes a FIFO fed with `chunks`, a pause between them, so
// reads come back short. Runs `body` in a child and returns its exit status.
int WithFifoDevice(const std::vector<std::vector<uint8_t>>& chunks, bool (*body)()) {
  char dir[] = "/tmp/corvane-guid-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return -1;
  const std::string fifo = std::string(dir) + "/urandom";
  if (::mkfifo(fifo.c_str(), 0600) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    if (!ReplaceDevice(fifo.c_str())) _exit(2);
    const pid_t writer = ::fork();
    if (writer == 0) {
      const int fd = ::open("/dev/urandom", O_WRONLY);
      for (const auto& chunk : chunks) {
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) _exit(1);
        ::usleep(50 * 1000);
      }
      _exit(0);
    }
    const bool ok = body();
    ::waitpid(writer, nullptr, 0);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::filesystem::remove_all(dir);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> Counting(uint8_t from, uint8_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(from + i);
  return bytes;
}

} // namespace

TEST(Guid, FreshBytesAndTheBlockLayout) {
  std::array<uint8_t, 16> a{}, b{};
  EXPECT_EQ(CoCreateGuid(a.data()), 0);
  EXPECT_EQ(CoCreateGuid(b.data()), 0);
  EXPECT_NE(a, b);
  for (int i = 0; i < 50; ++i) {
    std::array<uint8_t, 16> block{};
    NewRandomBlock(block.data());
    EXPECT_EQ(std::memcmp(block.data() + 8, block.data() + 12, 4), 0);
    EXPECT_EQ(std::memcmp(block.data() + 6, block.data() + 8, 2), 0);
  }
}

TEST(Guid, ShortReadsStillGiveSixteenBytes) {
  if (!NamespacesAvailable()) GTEST_SKIP() << "no private mount namespace here";
  const int guid = WithFifoDevice({Counting(0, 3), Counting(3, 6), Counting(9, 7)}, [] {
    std::array<uint8_t, 16> g{};
    CoCreateGuid(g.data());
    return std::vector<uint8_t>(g.begin(), g.end()) == Counting(0, 16);
  });
  EXPECT_EQ(guid, 0);
  const int block = WithFifoDevice({Counting(0x10, 5), Counting(0x15, 11)}, [] {
    std::array<uint8_t, 16> b{};
    NewRandomBlock(b.data());
    const std::array<uint8_t, 16> expected = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                              0x16, 0x17, 0x18, 0x19, 0x16, 0x17, 0x18, 0x19};
    return b == expected;
  });
  EXPECT_EQ(block, 0);
}

TEST(GuidDeathTest, UnusableDeviceEndsTheProcessWithStatus74) {
  if (!NamespacesAvailable()) GTEST_SKIP() << "no private mount namespace here";
  uint8_t g[16];
  EXPECT_EXIT(
      {
        if (!HideDevice()) _exit(3);
        CoCreateGuid(g);
      },
      ::testing::ExitedWithCode(74), "CoCreateGuid\\(\\): open: /dev/urandom: No such file");
  EXPECT_EXIT(
      {
        if (!ReplaceDevice("/dev/null")) _exit(3);
        CoCreateGuid(g);
      },
      ::testing::ExitedWithCode(74),
      "CoCreateGuid\\(\\): read: /dev/urandom: EOF, got 0 of 16 bytes requested");
  // Five bytes, then the writer goes away.
  EXPECT_EXIT(
      {
        if (WithFifoDevice({Counting(0, 5)}, [] {
              uint8_t bytes[16];
              CoCreateGuid(bytes);
              return true;
            }) == 0) {
          _exit(0);
        }
        _exit(74);
      },
      ::testing::ExitedWithCode(74), "EOF, got 5 of 16 bytes requested");
}
