// The parent's bytes through the IPC channel's receive framing: the input is
// a list of messages, each sent as one datagram on a real socket pair, so any
// packet may arrive in any split. Input: repeated [u16 length][bytes].
#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "core/dvr_core.h"

using namespace corvane;

namespace {

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fd) != 0) std::abort();
  }
  ~SocketPair() {
    if (fd[0] >= 0) ::close(fd[0]);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
};

// Runs the channel's handlers once; false when nothing ran for a long time.
bool Step(DvrCore& core) {
  if (core.io.stopped()) core.io.restart();
  return core.io.run_one_for(std::chrono::seconds(5)) != 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SocketPair pair;
  DvrCore core("/nonexistent/bin/corvane-core");
  if (!core.ipc.Adopt(static_cast<uint32_t>(pair.fd[1]))) std::abort();
  core.ipc.StartReceive();

  size_t at = 0;
  while (at + 2 <= size && core.ipc.HasChannel()) {
    uint16_t length;
    std::memcpy(&length, data + at, 2);
    at += 2;
    const size_t n = std::min<size_t>(length, size - at);
    // An empty datagram reads as the parent closing: the channel goes.
    while (::send(pair.fd[0], data + at, n, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
      if (errno != EAGAIN || !core.ipc.HasChannel() || !Step(core)) break;
    }
    at += n;
  }
  // The parent closes its end: every datagram sent is read before the end.
  ::shutdown(pair.fd[0], SHUT_WR);
  while (core.ipc.HasChannel()) {
    if (!Step(core)) std::abort(); // the channel stalled on its input
  }
  if (!core.Stopping()) std::abort(); // a disconnect always asks the core to stop
  return 0;
}
