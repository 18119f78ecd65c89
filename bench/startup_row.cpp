// Row 7: the real core binary started with a hundred trivial plug-ins, from
// exec to its first status document ("core.xml" renamed into place), against
// dlopen and dlclose of the same hundred files in this process.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "bench_rows.h"
#include "rk/core/ipc_packet.h"

using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

constexpr int kStartLimitMs = 30'000;

std::string Packet(uint32_t kind, std::string_view payload) {
  const auto bytes = rk::core::MakeIpcPacket(kind, 0, payload);
  return std::string(bytes.begin(), bytes.end());
}

// Waits for "core.xml" to be renamed (or written) into the directory.
bool WaitForStatus(int inotify) {
  alignas(inotify_event) char buffer[4096];
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStartLimitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd readable{inotify, POLLIN, 0};
    if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) != 1) return false;
    const ssize_t n = ::read(inotify, buffer, sizeof buffer);
    if (n <= 0) return false;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len != 0 && std::strcmp(event->name, "core.xml") == 0) return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

// Milliseconds from spawning the core to its first status document; NaN
// when it does not come.
double CoreStartupMs(const BenchInstall& install) {
  std::error_code ignored;
  fs::remove(install.startupWork / "core.xml", ignored);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) throw std::runtime_error("socketpair");
  ::fcntl(pair[0], F_SETFD, FD_CLOEXEC);
  // Started in the background, as under its parent daemon: no console lines.
  const std::string identity = std::string("corvane-bench\0"
                                           "1\0"
                                           "Background:true",
                                           31);
  const std::string packet = Packet(RK_IPC_KIND_PARENT_IDENTITY, identity);
  ::send(pair[0], packet.data(), packet.size(), MSG_NOSIGNAL);

  const int inotify = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(inotify, install.startupWork.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, install.startupWork.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::string program = (install.startupBin / "corvane-core").string();
  std::string descriptor = std::to_string(pair[1]);
  char* argv[] = {const_cast<char*>(program.c_str()), descriptor.data(), nullptr};

  pid_t pid = -1;
  const auto t0 = Clock::now();
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  const bool started = spawned == 0 && WaitForStatus(inotify);
  const auto t1 = Clock::now();
  posix_spawn_file_actions_destroy(&actions);
  ::close(inotify);
  ::close(pair[1]);

  if (spawned == 0) {
    const std::string stop = Packet(RK_IPC_KIND_STOP, "");
    ::send(pair[0], stop.data(), stop.size(), MSG_NOSIGNAL);
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ::close(pair[0]);
  return started ? std::chrono::duration<double, std::milli>(t1 - t0).count() : NAN;
}

double DlopenMs(const BenchInstall& install) {
  std::vector<void*> handles;
  const auto t0 = Clock::now();
  for (const auto& path : install.tinyPaths)
    handles.push_back(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  for (void* handle : handles) {
    if (handle == nullptr) throw std::runtime_error("dlopen of a tiny plug-in failed");
    dlclose(handle);
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

} // namespace

std::vector<BenchRow> StartupRows(const BenchInstall& install, const BenchConfig& config) {
  // Once unmeasured: the first start pays for a cold page cache.
  CoreStartupMs(install);
  DlopenMs(install);
  std::vector<double> core, floor;
  for (int round = 0; round < config.rounds; ++round) {
    core.push_back(CoreStartupMs(install));
    floor.push_back(DlopenMs(install));
  }
  BenchRow row;
  row.id = "7";
  row.what = "start-up, 100 plug-ins: exec -> core.xml (ms)";
  row.core = Fixed(Median(core), 1) + " ms";
  row.floor = Fixed(Median(floor), 1) + " ms";
  row.ratio = Median(core) / Median(floor);
  row.target = "<= 2.0";
  row.met = *row.ratio <= 2.0;
  row.summary = "7 " + Fixed(*row.ratio, 2) + "x";
  return {row};
}
