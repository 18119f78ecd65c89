// The status endpoint's server on a real loopback socket, its I/O context run
// by one thread as the core's I/O thread would: the routes, and the limits a
// client cannot get past.
#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "http/http_server.h"
#include "http/listen_address.h"
#include "http/recent_lines.h"

using namespace std::chrono_literals;
using corvane::HttpServer;

namespace {

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

class Client {
public:
  explicit Client(unsigned short port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(fd_); }
  bool connected() const { return connected_; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // What arrives until the server closes, `until` shows up or `limit`
  // passes; `closed` says whether the server closed.
  std::string Read(std::chrono::milliseconds limit, bool* closed = nullptr,
                   const std::string& until = "") {
    std::string text;
    const auto end = std::chrono::steady_clock::now() + limit;
    if (closed != nullptr) *closed = false;
    while (until.empty() || text.find(until) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (closed != nullptr) *closed = true;
        break;
      }
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }

private:
  int fd_ = -1;
  bool connected_ = false;
};

std::string Get(unsigned short port, const std::string& target, const std::string& method = "GET") {
  Client client(port);
  client.Send(method + " " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  return client.Read(5s);
}

class HttpServerTest : public ::testing::Test {
protected:
  void Start(HttpServer::Limits limits = {}) {
    corvane::HttpRoutes routes;
    routes.metrics = [] { return std::string("corvane_up 1\n"); };
    routes.healthProblem = [this] {
      std::lock_guard lock(problemMutex_);
      return problem_;
    };
    routes.status = [this]() -> nlohmann::json {
      if (throwing_) throw std::runtime_error("status broke");
      return {{"version", "1.2"}};
    };
    routes.recentWarnings = [] { return std::vector<std::string>{"w1", "w2"}; };
    server_.emplace(io_, routes, limits);
    std::string error;
    ASSERT_TRUE(server_->Start({boost::asio::ip::make_address("127.0.0.1"), 0}, error)) << error;
    port_ = server_->LocalEndpoint().port();
    thread_ = std::thread([this] { io_.run(); });
  }
  void TearDown() override {
    boost::asio::post(io_, [this] { server_->Stop(); });
    guard_.reset();
    if (thread_.joinable()) thread_.join();
  }
  // The server's connection count, read on its thread.
  size_t Connections() {
    std::promise<size_t> count;
    boost::asio::post(io_, [&] { count.set_value(server_->Connections()); });
    return count.get_future().get();
  }

  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_{
      io_.get_executor()};
  std::optional<HttpServer> server_;
  std::thread thread_;
  unsigned short port_ = 0;
  std::mutex problemMutex_; // the server's thread reads problem_, the test writes it
  std::string problem_;
  std::atomic<bool> throwing_{}; // read on the server's thread
};

} // namespace

TEST_F(HttpServerTest, ServesItsRoutes) {
  Start();
  const std::string page = Get(port_, "/");
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
  EXPECT_NE(page.find("Content-Type: text/html"), std::string::npos);
  EXPECT_NE(page.find("/api/status"), std::string::npos);

  const std::string metrics = Get(port_, "/metrics?x=1");
  EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("\r\n\r\ncorvane_up 1\n"), std::string::npos);
  // HEAD: the same headers, no body.
  const std::string head = Get(port_, "/metrics", "HEAD");
  EXPECT_NE(head.find("Content-Length: 13\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("corvane_up"), std::string::npos);

  EXPECT_NE(Get(port_, "/healthz").find("200 OK\r\n"), std::string::npos);
  const std::string status = Get(port_, "/api/status");
  EXPECT_NE(status.find("application/json"), std::string::npos);
  const auto json = nlohmann::json::parse(status.substr(status.find("\r\n\r\n") + 4));
  EXPECT_EQ(json["version"], "1.2");
  EXPECT_EQ(json["health"], "ok");
  EXPECT_EQ(json["log"], nlohmann::json::array({"w1", "w2"}));

  {
    std::lock_guard lock(problemMutex_);
    problem_ = "throttled";
  }
  const std::string sick = Get(port_, "/healthz");
  EXPECT_EQ(sick.rfind("HTTP/1.1 503", 0), 0u) << sick;
  EXPECT_NE(sick.find("\r\n\r\nthrottled\n"), std::string::npos);
  throwing_ = true;
  EXPECT_EQ(Get(port_, "/api/status").rfind("HTTP/1.1 500", 0), 0u);

  EXPECT_EQ(Get(port_, "/nothing").rfind("HTTP/1.1 404", 0), 0u);
  const std::string post = Get(port_, "/metrics", "POST");
  EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
  EXPECT_NE(post.find("Allow: GET, HEAD"), std::string::npos);

  // Two requests on one kept-alive connection.
  Client client(port_);
  client.Send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\nGET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string all = client.Read(5s, nullptr, "corvane_up 1\n");
  EXPECT_NE(all.find("503"), std::string::npos) << all;
  EXPECT_NE(all.find("corvane_up 1"), std::string::npos) << all;
}

TEST_F(HttpServerTest, LimitsHoldWithoutStallingOthers) {
  HttpServer::Limits limits;
  limits.requestTimeout = 1s;
  Start(limits);

  // Over 8 KiB of headers: 431, and the connection ends.
  bool closed = false;
  {
    Client big(port_);
    big.Send("GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n");
    const std::string refused = big.Read(5s, &closed);
    EXPECT_EQ(refused.rfind("HTTP/1.1 431", 0), 0u) << refused;
    EXPECT_TRUE(closed);
  }
  ASSERT_TRUE(WaitFor([&] { return Connections() == 0; }));

  // 64 clients that never finish a request hold every slot: the next one is
  // closed at once, while a request on a slot is still answered.
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 63; ++i) {
    idle.push_back(std::make_unique<Client>(port_));
    idle.back()->Send("GET / HTTP/1.1\r\n");
  }
  Client answered(port_);
  ASSERT_TRUE(WaitFor([&] { return Connections() == 64; }));
  answered.Send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(answered.Read(2s, nullptr, "ok\n").find("200 OK"), std::string::npos);
  // Closed at once, well before the 1 s a request may take.
  Client extra(port_);
  EXPECT_EQ(extra.Read(500ms, &closed), "");
  EXPECT_TRUE(closed);

  // Past the time to send a request, the slow ones are dropped and the
  // slots come back.
  for (auto& client : idle) {
    client->Read(2s, &closed);
    EXPECT_TRUE(closed);
  }
  EXPECT_NE(Get(port_, "/healthz").find("200 OK"), std::string::npos);
}

TEST(ListenAddress, ParsesAddressesAndExplainsMistakes) {
  std::string error;
  auto v4 = corvane::ParseListenAddress("127.0.0.1:9464", error);
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->address().to_string(), "127.0.0.1");
  EXPECT_EQ(v4->port(), 9464);
  auto v6 = corvane::ParseListenAddress("[::1]:9464", error);
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->address().is_v6());
  EXPECT_EQ(v6->port(), 9464);

  const std::pair<const char*, const char*> bad[] = {
      {"", "no port"},
      {"127.0.0.1", "no port"},
      {"127.0.0.1:", "port \"\""},
      {"127.0.0.1:65536", "port \"65536\""},
      {"127.0.0.1:0", "port \"0\""},
      {"127.0.0.1:94x", "port \"94x\""},
      {"localhost:9464", "\"localhost\" is not an IP address"},
      {"::1:9464", "brackets"},
      {"[::1:9464", "no ']'"},
      {"[::1]9464", "no port after ']'"},
      {"[127.0.0.1]:9464", "not an IP address"}};
  for (const auto& [text, why] : bad) {
    error.clear();
    EXPECT_FALSE(corvane::ParseListenAddress(text, error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
    EXPECT_NE(error.find(std::string("Listen \"") + text + "\""), std::string::npos) << error;
  }
}

TEST(RecentLines, KeepsTheLastOnesOldestFirst) {
  corvane::RecentLines lines(3);
  for (const char* line : {"a", "b", "c", "d", "e"}) lines.Add(line);
  EXPECT_EQ(lines.Lines(), (std::vector<std::string>{"c", "d", "e"}));
}
