// Rows 9: alarms from a plug-in's post, through the core and mqtt.so, to a
// subscriber's receipt at QoS 1, against a plain libmosquitto loop publishing
// the same messages through the same Mosquitto broker on loopback; and the
// post-to-receipt latency at 100 alarms/s.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mosquitto.h>
#include <mutex>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_rows.h"
#include "mqtt_broker.h"

using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

extern char** environ;

namespace {

constexpr int kWindow = 100; // QoS 1 messages in flight, as mqtt.so keeps them
constexpr const char* kCoreTopic = "corvane/bench/events/alarm";
constexpr const char* kFloorTopic = "corvane/floor/events/alarm";

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch())
      .count();
}

// Descriptors without close-on-exec are inherited (the core's socket).
pid_t Spawn(const std::vector<std::string>& args, const fs::path& dir) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

void Reap(pid_t pid, int signal) {
  if (pid <= 0) return;
  ::kill(pid, signal);
  int status = 0;
  const auto deadline = Steady::now() + 10s;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Steady::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(2ms);
  }
}

// Counts the "seq=" messages on the two topics and notes each one's latency
// from the "t=" stamp. Threads: libmosquitto's loop thread fills, the
// benchmark reads; `mutex` guards everything.
struct Receiver {
  std::mutex mutex;
  std::condition_variable changed;
  size_t count = 0;
  std::vector<int64_t> latencyNs;
  bool subscribed = false;
  bool online = false;

  void Reset() {
    std::lock_guard lock(mutex);
    count = 0;
    latencyNs.clear();
  }
  // False when nothing more arrives for 5 s before the count is reached.
  bool WaitCount(size_t n) {
    std::unique_lock lock(mutex);
    for (size_t seen = count; count < n; seen = count)
      if (!changed.wait_for(lock, 5s, [&] { return count >= n || count != seen; })) return false;
    return true;
  }
};

void OnReceive(mosquitto*, void* self, const mosquitto_message* m) {
  const int64_t now = NowNs();
  auto& r = *static_cast<Receiver*>(self);
  const std::string text(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
  std::lock_guard lock(r.mutex);
  r.changed.notify_all();
  if (text.find("\"state\":\"online\"") != std::string::npos) r.online = true;
  const size_t t = text.find(" t=");
  if (text.find("seq=") == std::string::npos || t == std::string::npos) return;
  r.latencyNs.push_back(now - std::stoll(text.substr(t + 3)));
  ++r.count;
}

void OnSubscribed(mosquitto*, void* self, int, int, const int*) {
  auto& r = *static_cast<Receiver*>(self);
  std::lock_guard lock(r.mutex);
  r.subscribed = true;
  r.changed.notify_all();
}

mosquitto* Client(int port, void* self) {
  mosquitto* client = mosquitto_new(nullptr, true, self);
  if (client == nullptr) throw std::runtime_error("mosquitto_new failed");
  mosquitto_max_inflight_messages_set(client, kWindow);
  if (mosquitto_connect(client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("cannot connect to the bench broker");
  return client;
}

void Destroy(mosquitto* client) {
  mosquitto_disconnect(client);
  mosquitto_loop_stop(client, false);
  mosquitto_destroy(client);
}

// The broker, the core with mqtt.so and the poster, and the subscriber.
class MqttBench {
public:
  // A subscriber that falls behind must not lose messages to the queue limit.
  explicit MqttBench(const BenchInstall& install)
      : dir_(install.root / "mqtt"), broker_("max_queued_messages 0\n") {
    mosquitto_lib_init();
    port_ = broker_.port();
    fs::create_directories(dir_ / "bin" / "plugins");
    fs::create_directories(dir_ / "work" / "scripts");
    fs::copy_file(CORVANE_CORE_BINARY, dir_ / "bin" / "corvane-core");
    fs::copy_file(CORVANE_MQTT_PLUGIN, dir_ / "bin" / "plugins" / "mqtt.so");
    fs::copy_file(fs::path(CORVANE_BENCH_PLUGIN_DIR) / "bench_mqtt_poster.so",
                  dir_ / "bin" / "plugins" / "bench_mqtt_poster.so");
    std::ofstream(dir_ / "work" / "scripts" / "get_id.sh") << "#!/bin/sh\necho bench-host-id\n";
    fs::permissions(dir_ / "work" / "scripts" / "get_id.sh", fs::perms::owner_all);
    std::ofstream(dir_ / "work" / "core.xml")
        << "<?xml version=\"1.0\"?><Varn><Memory Throttling=\"0\"/></Varn>";
    std::ofstream(dir_ / "work" / "mqtt.xml")
        << "<Mqtt Host=\"127.0.0.1\" Port=\"" << port_
        << "\" Server=\"bench\" KeepAlive=\"10\" OutboxLimit=\"10000000\"/>";

    subscriber_ = Client(port_, &receiver_);
    mosquitto_message_callback_set(subscriber_, &OnReceive);
    mosquitto_subscribe_callback_set(subscriber_, &OnSubscribed);
    const char* topics[] = {kCoreTopic, kFloorTopic, "corvane/bench/status"};
    mosquitto_subscribe_multiple(subscriber_, nullptr, 3, const_cast<char* const*>(topics), 1, 0,
                                 nullptr);
    publisher_ = Client(port_, nullptr);
    StartCore();
    std::unique_lock lock(receiver_.mutex);
    if (!receiver_.changed.wait_for(lock, 30s, [&] { return receiver_.subscribed; }) ||
        !WaitOnline(lock))
      throw std::runtime_error("mqtt bench: the core's mqtt.so did not come online");
  }

  ~MqttBench() {
    if (parentFd_ >= 0) {
      const uint32_t stop[4] = {16, 0, 8, 0};
      ::send(parentFd_, stop, sizeof stop, MSG_NOSIGNAL);
    }
    Reap(core_, 0);
    if (parentFd_ >= 0) ::close(parentFd_);
    Destroy(publisher_);
    Destroy(subscriber_);
  }

  // Alarms/s (or latencies) from the poster plug-in to the subscriber.
  double CoreRun(size_t count, long intervalUs) {
    receiver_.Reset();
    const auto t0 = Steady::now();
    {
      std::ofstream job(dir_ / "work" / "post.job.tmp");
      job << count << " " << intervalUs << "\n";
    }
    fs::rename(dir_ / "work" / "post.job.tmp", dir_ / "work" / "post.job");
    if (!receiver_.WaitCount(count)) return Lost(count);
    return count / std::chrono::duration<double>(Steady::now() - t0).count();
  }

  // The same messages, published by a plain libmosquitto loop.
  double FloorRun(size_t count, long intervalUs) {
    receiver_.Reset();
    const auto t0 = Steady::now();
    char payload[256];
    for (size_t i = 0; i < count; ++i) {
      if (intervalUs != 0)
        std::this_thread::sleep_until(t0 + std::chrono::microseconds(i * intervalUs));
      const int n = std::snprintf(payload, sizeof payload,
                                  "{\"time\":\"2026-12-08T12:00:00.000Z\",\"source\":\"24\","
                                  "\"sourceName\":\"bench_mqtt_poster\",\"camera\":null,"
                                  "\"payload\":\"seq=%06zu t=%lld\"}",
                                  i, static_cast<long long>(NowNs()));
      while (mosquitto_publish(publisher_, nullptr, kFloorTopic, n, payload, 1, false) ==
             MOSQ_ERR_NOMEM)
        std::this_thread::yield();
    }
    if (!receiver_.WaitCount(count)) return Lost(count);
    return count / std::chrono::duration<double>(Steady::now() - t0).count();
  }

  std::vector<int64_t> Latencies() {
    std::lock_guard lock(receiver_.mutex);
    return receiver_.latencyNs;
  }

private:
  double Lost(size_t count) {
    std::lock_guard lock(receiver_.mutex);
    std::fprintf(stderr, "  mqtt: %zu of %zu messages arrived\n", receiver_.count, count);
    return NAN;
  }

  bool WaitOnline(std::unique_lock<std::mutex>& lock) {
    return receiver_.changed.wait_for(lock, 30s, [&] { return receiver_.online; });
  }

  void StartCore() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) throw std::runtime_error("socketpair");
    ::fcntl(pair[0], F_SETFD, FD_CLOEXEC);
    const std::string identity = std::string("corvane-bench\0"
                                             "1\0"
                                             "Background:true",
                                             31);
    const uint32_t header[4] = {static_cast<uint32_t>(16 + identity.size()), 0, 7, 0};
    std::string packet(reinterpret_cast<const char*>(header), sizeof header);
    packet += identity;
    ::send(pair[0], packet.data(), packet.size(), MSG_NOSIGNAL);
    core_ =
        Spawn({(dir_ / "bin" / "corvane-core").string(), std::to_string(pair[1])}, dir_ / "work");
    ::close(pair[1]);
    parentFd_ = pair[0];
  }

  fs::path dir_;
  MqttBroker broker_; // outlives the clients, destroyed after the body above
  int port_ = 0;
  pid_t core_ = -1;
  int parentFd_ = -1;
  Receiver receiver_;
  mosquitto* subscriber_ = nullptr;
  mosquitto* publisher_ = nullptr;
};

std::string Ms(int64_t ns) {
  return Fixed(ns / 1e6, 2);
}

} // namespace

std::vector<BenchRow> MqttRows(const BenchInstall& install, const BenchConfig& config) {
  MqttBench bench(install);
  const auto count = static_cast<size_t>(std::max(2000.0, 20'000 * config.scale));
  // Once unmeasured each: connections and caches warm.
  bench.CoreRun(count / 4, 0);
  bench.FloorRun(count / 4, 0);
  std::vector<double> core, floor;
  for (int round = 0; round < config.rounds; ++round) {
    core.push_back(bench.CoreRun(count, 0));
    floor.push_back(bench.FloorRun(count, 0));
  }
  BenchRow throughput;
  throughput.id = "9a";
  throughput.what = "MQTT: alarms post -> subscriber, QoS 1 (alarms/s)";
  throughput.core = Rate(Median(core));
  throughput.floor = Rate(Median(floor));
  throughput.ratio = Median(core) / Median(floor);
  throughput.target = ">= 0.8";
  throughput.met = *throughput.ratio >= 0.8;
  throughput.summary = "9a " + Fixed(*throughput.ratio, 2) + "x";

  // 100 alarms/s for 3 s (0.3 s with --quick), each way.
  const auto paced = static_cast<size_t>(std::max(30.0, 300 * config.scale));
  bench.CoreRun(paced, 10'000);
  const auto coreLatency = bench.Latencies();
  bench.FloorRun(paced, 10'000);
  const auto floorLatency = bench.Latencies();
  BenchRow latency;
  latency.id = "9b";
  latency.what = "MQTT: post -> receipt at 100/s, p50 / p99 (ms)";
  if (coreLatency.size() >= paced && floorLatency.size() >= paced) {
    const int64_t c50 = Percentile(coreLatency, 50), c99 = Percentile(coreLatency, 99);
    const int64_t f50 = Percentile(floorLatency, 50), f99 = Percentile(floorLatency, 99);
    latency.core = Ms(c50) + " / " + Ms(c99);
    latency.floor = Ms(f50) + " / " + Ms(f99);
    latency.ratio = static_cast<double>(c50) / static_cast<double>(std::max<int64_t>(f50, 1));
    latency.summary = "9b p50 " + Ms(c50) + "ms p99 " + Ms(c99) + "ms";
  } else {
    latency.core = "lost";
    latency.floor = "-";
  }
  return {throughput, latency};
}
