// The event tap over a real Unix socket: filters per client, the cheap
// Active check, bad filters refused, and the socket file's life.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "tap/tap_server.h"

namespace fs = std::filesystem;
using namespace corvane;
using namespace std::chrono_literals;

namespace {

// A tap client as corvane-tap is: connect, send the filter, read lines.
class TapClient {
public:
  TapClient(const std::string& path, const std::string& filter) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const std::string line = filter + "\n";
    if (connected_) connected_ = ::write(fd_, line.data(), line.size()) == ssize_t(line.size());
    timeval limit{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~TapClient() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }
  // The next line; "" at the end or after 5 s.
  std::string Line() {
    for (;;) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      char chunk[512];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, size_t(n));
    }
  }

private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

bool WaitFor(const std::function<bool()>& predicate) {
  for (int i = 0; i < 500; ++i) {
    if (predicate()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TapRecord Record(uint64_t type, uint64_t flags, uint32_t source, std::string name,
                 uint32_t length) {
  TapRecord r;
  r.unixMicros = 1765195200123456; // 12:00:00.123 UTC
  r.type = type;
  r.flags = flags;
  r.source = source == 0 ? 0x80000000 : uint64_t(source) << 16;
  r.sourceName = std::move(name);
  r.length = length;
  return r;
}

} // namespace

TEST(TapServer, ServesFilteredLinesToEachClient) {
  const fs::path dir = fs::temp_directory_path() / ("tap-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "tap.sock").string();
  std::vector<std::string> logged;
  {
    TapServer tap([&](int32_t, const std::string& text) { logged.push_back(text); });
    ASSERT_TRUE(tap.Start(path));
    EXPECT_FALSE(tap.Active());
    tap.Publish(Record(4, 0x1000000, 0x74, "cpp_base", 10), {}); // nobody sees it

    TapClient alarms(path, "type=alarm source=74");
    ASSERT_TRUE(alarms.connected());
    EXPECT_EQ(alarms.Line(), "tap: type=alarm source=74");
    TapClient camera(path, "to=03");
    EXPECT_EQ(camera.Line(), "tap: to=03");
    TapClient bad(path, "type=bogus");
    EXPECT_EQ(bad.Line(), "error: unknown type 'bogus'");
    EXPECT_EQ(bad.Line(), ""); // and the tap hangs up
    EXPECT_TRUE(tap.Active());

    tap.Publish(Record(4, 0x1000000, 0x74, "cpp_base", 123), {{1, "RuzUZ"}, {3, "camera"}});
    tap.Publish(Record(1, 0x1000000, 0x03, "camera", 40000), {});
    auto stored = Record(4 | 0x4000, 0x4000000, 0, "", 0);
    stored.request = 0x12;
    tap.Publish(stored, {{3, "camera"}});

    const std::string time = alarms.Line().substr(0, 12);
    EXPECT_EQ(time.size(), 12u);
    EXPECT_EQ(time.substr(8), ".123");
    EXPECT_EQ(camera.Line().substr(13), "alarm live 74:cpp_base len=123 -> 01:RuzUZ 03:camera");
    EXPECT_EQ(camera.Line().substr(13), "alarm+mod stored 00:core req=0x12 len=0 -> 03:camera");

    // The next alarm from 74 is the one `alarms` sees after the first: the
    // video and the stored alarm were not for it.
    tap.Publish(Record(4, 0x1000000, 0x74, "cpp_base", 7), {});
    EXPECT_EQ(alarms.Line().substr(13), "alarm live 74:cpp_base len=7 -> (nobody)");

    alarms.Close();
    camera.Close();
    EXPECT_TRUE(WaitFor([&] { return !tap.Active(); }));

    // A second tap on the same socket is refused while this one listens.
    TapServer second([&](int32_t, const std::string& text) { logged.push_back(text); });
    EXPECT_FALSE(second.Start(path));
  }
  EXPECT_FALSE(fs::exists(path));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("another process listens on it"), std::string::npos) << logged[0];

  // A stale socket file left by a crash is replaced.
  {
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    ASSERT_TRUE(fs::is_socket(path));
    TapServer first;
    ASSERT_TRUE(first.Start(path));
    TapClient client(path, "");
    EXPECT_EQ(client.Line(), "tap: everything");
  }
  fs::remove_all(dir);
}
