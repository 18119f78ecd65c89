#include "mqtt/mqtt_link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "mqtt/mqtt_payloads.h"

namespace mqtt {
namespace {

using namespace std::chrono_literals;

constexpr size_t kWindow = 100; // QoS 1 messages awaiting PUBACK at once
constexpr auto kMaxBackoff = 30s;
constexpr auto kDrainAtStop = 600ms;   // Close: time left to empty the outbox
constexpr auto kOfflineAtStop = 900ms; // Close: "offline" acknowledged by then
constexpr int kInfo = 25, kWarning = 50;

std::string ReasonOf(int rc) {
  return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
}

} // namespace

MqttLink::MqttLink(MqttSettings settings, LogFn log, CommandFn command)
    : settings_(std::move(settings)), root_(settings_.TopicRoot()), log_(std::move(log)),
      command_(std::move(command)), outbox_(settings_.outboxLimit) {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

MqttLink::~MqttLink() {
  Stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void MqttLink::Start() {
  thread_ = std::thread([this] { Run(); });
}

void MqttLink::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  Wake();
  thread_.join();
}

// One write per batch: producers that find a wake-up pending leave it, and
// the network thread clears the flag before it reads the outbox again.
void MqttLink::Wake() {
  if (wakePending_.exchange(true)) return;
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
}

void MqttLink::Drain() {
  uint64_t count;
  (void)!::read(wakeFd_, &count, sizeof count);
  wakePending_.store(false);
}

void MqttLink::Publish(std::string topic, std::string payload, bool retain, uint32_t camera) {
  outbox_.Push(std::move(topic), std::move(payload), retain, camera);
  Wake();
}

void MqttLink::SetStatus(std::string online) {
  {
    std::lock_guard lock(statusMutex_);
    status_ = std::move(online);
    ++statusVersion_;
  }
  Wake();
}

void MqttLink::Run() {
  while (!stopping_) {
    if (client_ == nullptr) {
      if (Steady::now() >= nextAttempt_) Connect();
      if (client_ == nullptr) {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Steady::now());
        pollfd wake{wakeFd_, POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(std::clamp<int64_t>(wait.count(), 0, 1000))) > 0)
          Drain();
        continue;
      }
    }
    Service(1000ms);
    if (!lost_ && !connected_ && Steady::now() > connectDeadline_)
      Lost("no answer within " + std::to_string(settings_.keepAliveSeconds) + " s");
    if (!lost_ && connected_) Pump();
    if (lost_) Teardown();
  }
  Finish();
}

void MqttLink::Connect() {
  lost_ = false;
  connected_ = false;
  client_ = mosquitto_new(settings_.ClientId().c_str(), false, this);
  if (client_ == nullptr) {
    Lost(std::string("cannot make a client: ") + std::strerror(errno));
    Teardown();
    return;
  }
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_max_inflight_messages_set(client_, kWindow + 1);
  mosquitto_connect_callback_set(client_, &MqttLink::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttLink::OnDisconnect);
  mosquitto_publish_callback_set(client_, &MqttLink::OnPublish);
  mosquitto_message_callback_set(client_, &MqttLink::OnMessage);
  const std::string will = OfflineJson(), statusTopic = root_ + "/status";
  int rc = mosquitto_will_set(client_, statusTopic.c_str(), static_cast<int>(will.size()),
                              will.data(), 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty())
    rc = mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                   settings_.password.empty() ? nullptr
                                                              : settings_.password.c_str());
  if (rc == MOSQ_ERR_SUCCESS && !settings_.caFile.empty()) {
    rc = mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(client_, false);
    if (rc != MOSQ_ERR_SUCCESS) {
      Lost("CaFile \"" + settings_.caFile + "\" not usable: " + ReasonOf(rc));
      Teardown();
      return;
    }
  }
  if (rc == MOSQ_ERR_SUCCESS)
    rc = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port,
                                 settings_.keepAliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    Lost(ReasonOf(rc));
    Teardown();
    return;
  }
  connectDeadline_ = Steady::now() + std::chrono::seconds(settings_.keepAliveSeconds);
}

void MqttLink::Service(std::chrono::milliseconds limit) {
  const int fd = mosquitto_socket(client_);
  if (fd < 0) {
    Lost("the connection closed");
    return;
  }
  pollfd fds[2] = {
      {fd, static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0)), 0},
      {wakeFd_, POLLIN, 0}};
  if (::poll(fds, 2, static_cast<int>(limit.count())) < 0) return; // EINTR: go round again
  if (fds[1].revents != 0) Drain();
  // Reading also drives a TLS handshake, which may wait for the socket to be
  // writable; with nothing to read it does nothing.
  if (fds[0].revents != 0) {
    const int rc = mosquitto_loop_read(client_, 1);
    if (rc != MOSQ_ERR_SUCCESS && !lost_) Lost(ReasonOf(rc));
  }
  if (!lost_ && (fds[0].revents & POLLOUT) != 0) {
    const int rc = mosquitto_loop_write(client_, 1);
    if (rc != MOSQ_ERR_SUCCESS && !lost_) Lost(ReasonOf(rc));
  }
  if (!lost_) {
    const int rc = mosquitto_loop_misc(client_);
    if (rc != MOSQ_ERR_SUCCESS && !lost_) Lost(ReasonOf(rc));
  }
}

void MqttLink::Pump() {
  std::string status;
  uint64_t version = 0;
  {
    std::lock_guard lock(statusMutex_);
    if (statusVersion_ != sentStatusVersion_) {
      status = status_;
      version = statusVersion_;
    }
  }
  if (version != 0) {
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, (root_ + "/status").c_str(),
                                     static_cast<int>(status.size()), status.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) return Lost(ReasonOf(rc));
    sentStatusVersion_ = version;
    statusMid_ = mid;
  }
  while (inFlight_.size() < kWindow) {
    const std::shared_ptr<const OutMessage> m = outbox_.After(sentSeq_);
    if (m == nullptr) break;
    int mid = 0;
    const int rc =
        mosquitto_publish(client_, &mid, m->topic.c_str(), static_cast<int>(m->payload.size()),
                          m->payload.data(), 1, m->retain);
    if (rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_MALFORMED_UTF8) {
      log_(kWarning, "mqtt: message on " + m->topic + " not publishable: " + ReasonOf(rc));
      outbox_.Remove(m->seq);
      continue;
    }
    if (rc != MOSQ_ERR_SUCCESS) return Lost(ReasonOf(rc));
    inFlight_[mid] = m->seq;
    sentSeq_ = m->seq;
  }
  if (const uint64_t dropped = outbox_.TakeDropped())
    log_(kWarning, "mqtt: outbox full (OutboxLimit " + std::to_string(settings_.outboxLimit) +
                       "): dropped the " + std::to_string(dropped) + " oldest message(s)");
}

void MqttLink::Lost(const std::string& reason) {
  lost_ = true;
  if (lostReason_.empty()) lostReason_ = reason;
}

void MqttLink::Teardown() {
  if (client_ != nullptr) mosquitto_destroy(client_);
  client_ = nullptr;
  if (!outage_ && !stopping_) {
    log_(kWarning, "mqtt: broker " + settings_.host + ":" + std::to_string(settings_.port) +
                       (connected_ ? " lost: " : " unreachable: ") + lostReason_ +
                       "; retrying from 1 s to 30 s apart");
    outage_ = true;
  }
  connected_ = false;
  lost_ = false;
  lostReason_.clear();
  inFlight_.clear();
  sentSeq_ = 0;
  sentStatusVersion_ = 0;
  statusMid_ = -1;
  nextAttempt_ = Steady::now() + backoff_;
  backoff_ = std::min<std::chrono::seconds>(backoff_ * 2, kMaxBackoff);
}

void MqttLink::Finish() {
  if (client_ != nullptr && connected_ && !lost_) {
    const auto start = Steady::now();
    while (Steady::now() - start < kDrainAtStop && connected_ && !lost_ && outbox_.Size() > 0) {
      Pump();
      if (!lost_) Service(20ms);
    }
    if (connected_ && !lost_) {
      const std::string offline = OfflineJson();
      int mid = 0;
      statusAcked_ = false;
      if (mosquitto_publish(client_, &mid, (root_ + "/status").c_str(),
                            static_cast<int>(offline.size()), offline.data(), 1,
                            true) == MOSQ_ERR_SUCCESS) {
        statusMid_ = mid;
        while (Steady::now() - start < kOfflineAtStop && connected_ && !lost_ && !statusAcked_)
          Service(20ms);
      }
      mosquitto_disconnect(client_);
      if (mosquitto_socket(client_) >= 0) mosquitto_loop_write(client_, 1);
    }
  }
  if (client_ != nullptr) mosquitto_destroy(client_);
  client_ = nullptr;
  if (const size_t left = outbox_.Size())
    log_(kWarning, "mqtt: " + std::to_string(left) + " message(s) not delivered at stop");
  if (const uint64_t dropped = outbox_.TakeDropped())
    log_(kWarning, "mqtt: outbox full (OutboxLimit " + std::to_string(settings_.outboxLimit) +
                       "): dropped the " + std::to_string(dropped) + " oldest message(s)");
}

void MqttLink::OnConnect(mosquitto*, void* self, int rc) {
  auto& link = *static_cast<MqttLink*>(self);
  if (rc != 0) return link.Lost(std::string("refused: ") + mosquitto_connack_string(rc));
  link.connected_ = true;
  link.backoff_ = 1s;
  link.log_(kInfo, "mqtt: connected to " + link.settings_.host + ":" +
                       std::to_string(link.settings_.port) + " as " + link.settings_.ClientId() +
                       (link.settings_.caFile.empty() ? "" : " (TLS)") +
                       (link.settings_.allowCommands ? ", taking commands" : ""));
  link.outage_ = false;
  // The session outlives this process: commands switched off since the last
  // run must not stay subscribed.
  const std::string alarm = AlarmCommandTopic(link.root_), ptz = PtzCommandFilter(link.root_);
  if (link.settings_.allowCommands) {
    mosquitto_subscribe(link.client_, nullptr, alarm.c_str(), 1);
    mosquitto_subscribe(link.client_, nullptr, ptz.c_str(), 1);
  } else {
    mosquitto_unsubscribe(link.client_, nullptr, alarm.c_str());
    mosquitto_unsubscribe(link.client_, nullptr, ptz.c_str());
  }
  // A broker that lost its retained messages gets the cameras' states back.
  for (const auto& [camera, state] : link.brokerCameras_) {
    const std::string topic = link.root_ + "/cameras/" + std::to_string(camera) + "/state";
    mosquitto_publish(link.client_, nullptr, topic.c_str(), static_cast<int>(state.size()),
                      state.data(), 0, true);
  }
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int rc) {
  auto& link = *static_cast<MqttLink*>(self);
  if (!link.stopping_) link.Lost(rc == 0 ? "disconnected" : ReasonOf(rc));
}

void MqttLink::OnPublish(mosquitto*, void* self, int mid) {
  auto& link = *static_cast<MqttLink*>(self);
  if (mid == link.statusMid_) {
    link.statusAcked_ = true;
    link.statusMid_ = -1;
    return;
  }
  const auto it = link.inFlight_.find(mid);
  if (it == link.inFlight_.end()) return;
  const uint64_t seq = it->second;
  link.inFlight_.erase(it);
  if (auto m = link.outbox_.Remove(seq); m != nullptr && m->camera != 0)
    link.brokerCameras_[m->camera] = m->payload;
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& link = *static_cast<MqttLink*>(self);
  const std::string topic = message->topic == nullptr ? "" : message->topic;
  CommandResult result;
  if (link.settings_.allowCommands)
    result = ParseCommand(link.root_, topic, message->payload,
                          static_cast<size_t>(std::max(message->payloadlen, 0)));
  else
    result.reason = "commands are off (AllowCommands=\"0\")";
  if (!result.command) {
    ++link.commandsDropped_;
    link.log_(kWarning, "mqtt: command on " + topic + " dropped: " + result.reason + " (" +
                            std::to_string(link.commandsDropped_) + " dropped so far)");
    return;
  }
  link.command_(*result.command);
}

} // namespace mqtt
