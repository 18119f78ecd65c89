#pragma once
// The connection to the broker: one network thread of the plug-in's own that
// connects, keeps the session, publishes the outbox in order and hands
// commands back.
//
// Threads: Start/Stop from the core's main thread (Open/Close); Publish and
// SetStatus from the dispatch thread; everything libmosquitto does, and every
// callback (log, command), on the network thread. Only the network thread
// touches the libmosquitto client. `statusMutex_` guards the status text; the
// outbox guards itself; the rest below "network thread only" is owned by the
// network thread alone.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "mqtt/mqtt_command.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/outbox.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtt {

class MqttLink {
public:
  using LogFn = std::function<void(int level, const std::string& text)>;
  using CommandFn = std::function<void(const Command& command)>;

  MqttLink(MqttSettings settings, LogFn log, CommandFn command);
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  void Start();
  // An orderly stop: flushes what it can, publishes "offline", disconnects;
  // the network thread has ended when it returns, within 1 s.
  void Stop();

  // Queues a QoS 1 message; `camera` marks a camera state. Never blocks on
  // the network.
  void Publish(std::string topic, std::string payload, bool retain, uint32_t camera = 0);
  // The retained "online" status, published now and after every reconnect.
  void SetStatus(std::string online);

  const MqttSettings& settings() const { return settings_; }

private:
  using Steady = std::chrono::steady_clock;

  void Run();
  void Connect();
  void Service(std::chrono::milliseconds limit);
  void Pump();
  void Lost(const std::string& reason);
  void Teardown();
  void Finish();
  void Wake();
  void Drain();

  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

  const MqttSettings settings_;
  const std::string root_;
  const LogFn log_;
  const CommandFn command_;
  Outbox outbox_;
  int wakeFd_ = -1;                      // eventfd: the outbox or the status changed, or Stop
  std::atomic<bool> wakePending_{false}; // set: the eventfd is written, not yet drained
  std::atomic<bool> stopping_{false};
  std::thread thread_;

  std::mutex statusMutex_;
  std::string status_;         // guarded by statusMutex_
  uint64_t statusVersion_ = 0; // guarded by statusMutex_

  // Network thread only.
  mosquitto* client_ = nullptr;
  bool connected_ = false; // CONNACK accepted, not lost since
  bool lost_ = false;      // the connection went; tear down and retry
  std::string lostReason_;
  Steady::time_point connectDeadline_{};
  Steady::time_point nextAttempt_{};
  std::chrono::seconds backoff_{1};
  bool outage_ = false;              // the unreachable broker was reported
  uint64_t sentSeq_ = 0;             // outbox messages up to here are with the broker
  std::map<int, uint64_t> inFlight_; // mid -> outbox seq, awaiting PUBACK
  uint64_t sentStatusVersion_ = 0;
  int statusMid_ = -1;
  bool statusAcked_ = false;
  std::map<uint32_t, std::string> brokerCameras_; // camera -> state the broker acknowledged
  uint64_t commandsDropped_ = 0;
};

} // namespace mqtt
