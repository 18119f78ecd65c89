// Row 6: packets through the IPC channel over a real socket pair, the
// benchmark playing the parent, against a raw seqpacket send/receive loop.
#include <chrono>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_rows.h"
#include "core_rig.h"
#include "rk/core/ipc_packet.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kPacketBytes = 256;
constexpr uint32_t kTargetId = 0x22; // bench_b
constexpr int kReceiveLimitMs = 10'000;

std::vector<uint8_t> ParentPacket() {
  return rk::core::MakeIpcPacket(100, rk::core::IpcAddress(kTargetId),
                                 std::string(kPacketBytes - rk::core::kIpcHeaderSize, '\x5a'));
}

bool SendAll(int fd, const std::vector<uint8_t>& packet, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(packet.size()))
      return false;
  }
  return true;
}

// Receives `count` packets; false when one does not come in time.
bool ReceiveAll(int fd, uint32_t count) {
  std::vector<uint8_t> buffer(65536);
  for (uint32_t i = 0; i < count; ++i) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, kReceiveLimitMs) != 1) return false;
    if (::recv(fd, buffer.data(), buffer.size(), 0) <= 0) return false;
  }
  return true;
}

double PerSecond(uint32_t count, Clock::time_point t0) {
  return count / std::chrono::duration<double>(Clock::now() - t0).count();
}

double CoreToPlugin(const BenchInstall& install, uint32_t count) {
  CoreRig rig(install, {.dispatch = true, .ipc = true});
  const auto packet = ParentPacket();
  const std::atomic<uint64_t>& delivered = rig.State(1).ipcPackets;
  const auto t0 = Clock::now();
  if (!SendAll(rig.ParentFd(), packet, count)) return NAN;
  while (delivered.load(std::memory_order_acquire) < count) {
    if (Clock::now() - t0 > std::chrono::milliseconds(kReceiveLimitMs)) return NAN;
    std::this_thread::yield();
  }
  return PerSecond(count, t0);
}

double PluginToCore(const BenchInstall& install, uint32_t count) {
  CoreRig rig(install, {.dispatch = true, .ipc = true});
  const auto t0 = Clock::now();
  std::thread plugin([&] { rig.PostIpc(1)(count, kPacketBytes); });
  const bool all = ReceiveAll(rig.ParentFd(), count);
  const double rate = PerSecond(count, t0);
  plugin.join();
  return all ? rate : NAN;
}

double RawLoop(uint32_t count) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
    throw std::runtime_error("socketpair failed");
  const auto packet = ParentPacket();
  const auto t0 = Clock::now();
  std::thread sender([&] { SendAll(pair[0], packet, count); });
  const bool all = ReceiveAll(pair[1], count);
  const double rate = PerSecond(count, t0);
  sender.join();
  ::close(pair[0]);
  ::close(pair[1]);
  return all ? rate : NAN;
}

BenchRow IpcRow(const char* id, const char* what, double core, double raw, double target) {
  BenchRow row;
  row.id = id;
  row.what = what;
  row.core = Rate(core);
  row.floor = Rate(raw);
  row.ratio = core / raw;
  row.target = ">= " + Fixed(target, 1);
  row.met = *row.ratio >= target;
  row.summary = row.id + " " + Fixed(*row.ratio, 2) + "x";
  return row;
}

} // namespace

std::vector<BenchRow> IpcRows(const BenchInstall& install, const BenchConfig& config) {
  const auto count = static_cast<uint32_t>(std::max(2000.0, 100'000 * config.scale));
  std::vector<double> in, out, raw;
  for (int round = 0; round < config.rounds; ++round) {
    in.push_back(CoreToPlugin(install, count));
    raw.push_back(RawLoop(count));
    out.push_back(PluginToCore(install, count));
    raw.push_back(RawLoop(count));
  }
  return {IpcRow("6a", "IPC parent -> plug-in, 256-byte packets (packets/s)", Median(in),
                 Median(raw), 0.8),
          IpcRow("6b", "IPC plug-in -> parent, 256-byte packets (packets/s)", Median(out),
                 Median(raw), 0.9)};
}
