#include "mqtt_broker.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
};

} // namespace

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

MqttBroker::MqttBroker(const std::string& extra, const std::string& head) {
  std::string pattern = (fs::temp_directory_path() / "corvane-mqtt-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir = pattern;
  port_ = FreeLoopbackPort();
  const passwd* user = ::getpwuid(::geteuid());
  std::ofstream config(dir / "mosquitto.conf");
  config << head << "listener " << port_ << " 127.0.0.1\n"
         << "allow_anonymous true\n"
         << "persistence true\npersistence_location " << dir.string() << "/\n"
         << "log_dest file " << (dir / "mosquitto.log").string() << "\n"
         << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
         << "user " << (user != nullptr ? user->pw_name : "root") << "\n"
         << extra;
  config.close();
  Start();
}

MqttBroker::~MqttBroker() {
  Stop();
  if (std::getenv("CORVANE_KEEP_TEST_DIRS") == nullptr) {
    std::error_code error;
    fs::remove_all(dir, error);
  }
}

void MqttBroker::Start() {
  const std::string config = (dir / "mosquitto.conf").string();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Its log goes to the file; the console only gets the running-as-root remark.
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execlp("mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500; ++i) {
    if (Accepts(port_)) return;
    std::this_thread::sleep_for(10ms);
  }
  throw std::runtime_error("mosquitto did not start: " + Log());
}

void MqttBroker::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string MqttBroker::Log() const {
  std::ifstream in(dir / "mosquitto.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

MqttSubscriber::MqttSubscriber(int port, const std::string& filter, const std::string& clientId)
    : filter_(filter) {
  static LibraryInit init;
  client_ = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), clientId.empty(), this);
  if (client_ == nullptr) throw std::runtime_error("mosquitto_new failed");
  mosquitto_connect_callback_set(client_, &MqttSubscriber::OnConnect);
  mosquitto_subscribe_callback_set(client_, &MqttSubscriber::OnSubscribe);
  mosquitto_message_callback_set(client_, &MqttSubscriber::OnMessage);
  mosquitto_publish_callback_set(client_, &MqttSubscriber::OnPublish);
  mosquitto_reconnect_delay_set(client_, 1, 1, false);
  if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("subscriber cannot connect");
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, 10s, [&] { return subscribed_; }))
    throw std::runtime_error("subscription not acknowledged");
}

MqttSubscriber::~MqttSubscriber() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  mosquitto_destroy(client_);
}

void MqttSubscriber::OnConnect(mosquitto* client, void* self, int rc) {
  if (rc == 0)
    mosquitto_subscribe(client, nullptr, static_cast<MqttSubscriber*>(self)->filter_.c_str(), 1);
}

void MqttSubscriber::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
  auto& s = *static_cast<MqttSubscriber*>(self);
  std::lock_guard lock(s.mutex_);
  s.subscribed_ = true;
  s.changed_.notify_all();
}

void MqttSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto& s = *static_cast<MqttSubscriber*>(self);
  MqttReceived received{message->topic,
                        std::string(static_cast<const char*>(message->payload),
                                    static_cast<size_t>(message->payloadlen)),
                        message->retain};
  std::lock_guard lock(s.mutex_);
  s.messages_.push_back(std::move(received));
  s.changed_.notify_all();
}

void MqttSubscriber::OnPublish(mosquitto*, void* self, int mid) {
  auto& s = *static_cast<MqttSubscriber*>(self);
  std::lock_guard lock(s.mutex_);
  s.acked_.push_back(mid);
  s.changed_.notify_all();
}

std::vector<MqttReceived> MqttSubscriber::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<MqttReceived> MqttSubscriber::On(const std::string& topic) {
  std::vector<MqttReceived> out;
  for (auto& m : Messages())
    if (m.topic == topic) out.push_back(std::move(m));
  return out;
}

bool MqttSubscriber::WaitFor(const std::function<bool(const std::vector<MqttReceived>&)>& done,
                             std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return done(messages_); });
}

bool MqttSubscriber::Publish(const std::string& topic, const std::string& payload, bool retain) {
  int mid = 0;
  if (mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), 1, retain) != MOSQ_ERR_SUCCESS)
    return false;
  std::unique_lock lock(mutex_);
  return changed_.wait_for(
      lock, 10s, [&] { return std::find(acked_.begin(), acked_.end(), mid) != acked_.end(); });
}
