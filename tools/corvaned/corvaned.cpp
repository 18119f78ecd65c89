// corvaned: the parent daemon. Starts the core with one end of a
// SOCK_SEQPACKET socket pair, introduces itself, reports what plug-ins send
// it, and stops the core on SIGINT or SIGTERM.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core_launcher.h"
#include "options.h"
#include "packet_reader.h"
#include "rk/core/ipc_packet.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the core gets after the stop request, and again after SIGTERM.
constexpr auto kGrace = std::chrono::seconds(10);

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

bool SendPacket(int fd, const std::vector<uint8_t>& packet) {
  return ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(packet.size());
}

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return 1;
}

// The stop sequence: stop request, then SIGTERM, then SIGKILL, each step
// taken on the next signal or when the grace period runs out.
class Stopper {
public:
  Stopper(pid_t core, int socket) : core_(core), socket_(socket) {}

  void Escalate() {
    switch (stage_++) {
    case 0:
      Say("corvaned: asking the core to stop");
      if (!SendPacket(socket_, rk::core::MakeIpcPacket(RK_IPC_KIND_STOP, 0, "")))
        Say("corvaned: stop request not sent");
      break;
    case 1:
      Say("corvaned: sending SIGTERM to the core");
      ::kill(core_, SIGTERM);
      break;
    default:
      Say("corvaned: sending SIGKILL to the core");
      ::kill(core_, SIGKILL);
      break;
    }
    deadline_ = Clock::now() + kGrace;
  }
  bool Started() const { return stage_ > 0; }
  // Milliseconds until the next step is due (-1: none is pending).
  int TimeoutMs() const {
    if (stage_ == 0 || stage_ > 2) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
  }
  void OnTimeout() {
    if (TimeoutMs() == 0) Escalate();
  }

private:
  pid_t core_;
  int socket_;
  int stage_ = 0;
  Clock::time_point deadline_{};
};

} // namespace

int main(int argc, char** argv) {
  bool badCommandLine = false;
  const auto options = ParseOptions(argc, argv, badCommandLine);
  if (!options) return badCommandLine ? 2 : 0;

  // Signals are taken from a descriptor so that the loop below sees them in order.
  sigset_t handled;
  sigemptyset(&handled);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &handled, nullptr);
  const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC);
  ::signal(SIGPIPE, SIG_IGN);

  int pair[2];
  if (signals < 0 || ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    std::perror("corvaned");
    return 1;
  }
  const int socket = pair[0];
  // The core's end is passed by number; keep it clear of the standard three.
  int coreEnd = pair[1];
  if (coreEnd < 3) {
    coreEnd = ::fcntl(pair[1], F_DUPFD_CLOEXEC, 3);
    ::close(pair[1]);
  }

  const pid_t core = LaunchCore(options->corePath, options->workDir, coreEnd);
  ::close(coreEnd);
  if (core < 0) {
    std::perror("corvaned: fork");
    return 1;
  }
  Say(fmt::format("corvaned {}: core {} started (pid {}) in {}", CORVANED_VERSION,
                  options->corePath, core, options->workDir));

  // Parent identity: file name, version and, when unattended, the background mark.
  std::string identity = std::filesystem::path(OwnPath(argc > 0 ? argv[0] : nullptr)).filename();
  identity += '\0';
  identity += CORVANED_VERSION;
  if (options->background) identity += std::string(1, '\0') + "Background:true";
  SendPacket(socket, rk::core::MakeIpcPacket(RK_IPC_KIND_PARENT_IDENTITY, 0, identity));

  Stopper stopper(core, socket);
  PacketReader reader;
  std::vector<uint8_t> buffer(1u << 17);
  bool socketOpen = true;
  for (;;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {socketOpen ? socket : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, stopper.TimeoutMs());
    if (ready < 0 && errno != EINTR) {
      std::perror("corvaned: poll");
      break;
    }
    if (ready == 0) stopper.OnTimeout();

    if (fds[1].revents != 0) {
      const ssize_t n = ::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n > 0) {
        for (const auto& line : reader.Add(buffer.data(), static_cast<size_t>(n))) Say(line);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        socketOpen = false; // the core closed its end; wait for it to exit
      }
    }

    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signals, &info, sizeof info) == sizeof info && info.ssi_signo != SIGCHLD)
        stopper.Escalate();
    }

    int raw = 0;
    const pid_t done = ::waitpid(core, &raw, WNOHANG);
    if (done == core) {
      const int status = StatusOf(raw);
      Say(fmt::format("corvaned: core exited with status {}", status));
      return status;
    }
    if (done < 0 && errno == ECHILD) return 1;
  }
  ::kill(core, SIGKILL);
  int raw = 0;
  ::waitpid(core, &raw, 0);
  return StatusOf(raw);
}
