#pragma once
// A real Mosquitto broker for scenarios, on a free 127.0.0.1 port with its
// configuration, persistence and log in a temporary directory; and a
// subscriber on it through libmosquitto.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

struct mosquitto;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class MqttBroker {
public:
  // `extra`: more configuration lines after the listener on port(); `head`:
  // lines before it.
  explicit MqttBroker(const std::string& extra = "", const std::string& head = "");
  ~MqttBroker(); // stops it, removes the directory
  MqttBroker(const MqttBroker&) = delete;
  MqttBroker& operator=(const MqttBroker&) = delete;

  void Start(); // returns once it takes connections
  void Stop();  // SIGTERM: it saves sessions and retained messages, then exits
  int port() const { return port_; }
  std::string Log() const;
  fs::path dir;

private:
  int port_ = 0;
  pid_t pid_ = -1;
};

// A free TCP port on 127.0.0.1 (free when asked).
int FreeLoopbackPort();

struct MqttReceived {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// Subscribes to `filter` at QoS 1 on every (re)connection; a persistent
// session (`clientId` set, clean session off) also keeps what arrives while
// it is away. Threads: libmosquitto's own loop thread fills the list.
class MqttSubscriber {
public:
  MqttSubscriber(int port, const std::string& filter, const std::string& clientId = "");
  ~MqttSubscriber();
  MqttSubscriber(const MqttSubscriber&) = delete;
  MqttSubscriber& operator=(const MqttSubscriber&) = delete;

  std::vector<MqttReceived> Messages();
  std::vector<MqttReceived> On(const std::string& topic);
  bool WaitFor(const std::function<bool(const std::vector<MqttReceived>&)>& done,
               std::chrono::milliseconds limit = 15s);
  // Publishes at QoS 1 and waits for the broker's acknowledgement.
  bool Publish(const std::string& topic, const std::string& payload, bool retain = false);

private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnSubscribe(mosquitto*, void* self, int, int, const int*);
  static void OnMessage(mosquitto*, void* self, const struct mosquitto_message* message);
  static void OnPublish(mosquitto*, void* self, int mid);

  std::string filter_;
  mosquitto* client_ = nullptr;
  std::mutex mutex_; // guards everything below
  std::condition_variable changed_;
  std::vector<MqttReceived> messages_;
  bool subscribed_ = false;
  std::vector<int> acked_;
};
