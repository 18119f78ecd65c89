// Row 12: a Prometheus scrape of /metrics with a hundred plug-ins (each with
// its deliveries and its OnEvent histogram), over a real loopback connection
// to the status endpoint on its own I/O thread, against a GET /healthz on the
// same connection: what the exposition adds to a bare request.
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "bench_rows.h"
#include "http/http_server.h"
#include "metrics/core_metrics.h"

using Clock = std::chrono::steady_clock;

namespace {

corvane::MetricsSample HundredPlugins(corvane::CoreMetrics& metrics) {
  corvane::MetricsSample sample;
  for (const char* type : {"live video", "live audio", "alarm", "log", "configuration"})
    sample.eventsQueuedByType.emplace_back(type, 123456789);
  for (int i = 0; i < BenchInstall::kTinyPlugins; ++i) {
    char id[8];
    std::snprintf(id, sizeof id, "%02x", i + 2);
    const std::string file = "tiny_" + std::to_string(i) + ".so";
    sample.plugins.push_back({id, file, 987654321});
    auto& sampler = metrics.Sampler(id, file);
    for (int k = 0; k < 1000; ++k) sampler.Observe(std::chrono::nanoseconds(300 + 97 * k));
  }
  for (const char* level : {"debug", "info", "warning", "error", "critical"})
    sample.logLinesByLevel.emplace_back(level, 4242);
  sample.pluginsLoaded = sample.pluginsOpened = BenchInstall::kTinyPlugins;
  return sample;
}

// One kept-alive connection; each Get sends a request and reads the whole
// answer (Content-Length), returning the body's size.
class Connection {
public:
  explicit Connection(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect to the status endpoint");
  }
  ~Connection() { ::close(fd_); }

  size_t Get(const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
      throw std::runtime_error("send failed");
    std::string text;
    size_t headerEnd = std::string::npos;
    size_t length = 0;
    char buffer[65536];
    while (headerEnd == std::string::npos || text.size() < headerEnd + length) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) throw std::runtime_error("the status endpoint closed");
      text.append(buffer, static_cast<size_t>(n));
      if (headerEnd == std::string::npos &&
          (headerEnd = text.find("\r\n\r\n")) != std::string::npos) {
        headerEnd += 4;
        const size_t at = text.find("Content-Length: ");
        if (at == std::string::npos || at > headerEnd) throw std::runtime_error("no length");
        length = std::stoul(text.substr(at + 16));
      }
    }
    return length;
  }

private:
  int fd_;
};

// Milliseconds per request over `count` requests.
double MsPerGet(Connection& connection, const std::string& path, int count, size_t& bytes) {
  const auto t0 = Clock::now();
  for (int i = 0; i < count; ++i) bytes = connection.Get(path);
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / count;
}

} // namespace

std::vector<BenchRow> MetricsRows(const BenchInstall&, const BenchConfig& config) {
  corvane::CoreMetrics metrics("bench");
  const corvane::MetricsSample sample = HundredPlugins(metrics);
  corvane::HttpRoutes routes;
  routes.metrics = [&] { return metrics.Render(sample); };
  routes.healthProblem = [] { return std::string(); };

  boost::asio::io_context io;
  corvane::HttpServer server(io, routes);
  std::string error;
  if (!server.Start({boost::asio::ip::make_address("127.0.0.1"), 0}, error))
    throw std::runtime_error("status endpoint: " + error);
  const unsigned short port = server.LocalEndpoint().port();
  auto work = boost::asio::make_work_guard(io);
  std::thread ioThread([&] { io.run(); });

  const int count = std::max(20, static_cast<int>(200 * config.scale));
  std::vector<double> scrape, bare;
  size_t bytes = 0, bareBytes = 0;
  {
    Connection connection(port);
    for (int round = 0; round < config.rounds; ++round) {
      scrape.push_back(MsPerGet(connection, "/metrics", count, bytes));
      bare.push_back(MsPerGet(connection, "/healthz", count, bareBytes));
    }
  }
  boost::asio::post(io, [&] { server.Stop(); });
  work.reset();
  ioThread.join();

  BenchRow row;
  row.id = "12";
  row.what = "/metrics scrape, 100 plug-ins vs GET /healthz (ms)";
  row.core = Fixed(Median(scrape), 3) + " ms " + std::to_string(bytes / 1024) + " KiB";
  row.floor = Fixed(Median(bare), 3) + " ms";
  row.ratio = Median(scrape) / Median(bare);
  row.summary = "12 " + Fixed(Median(scrape), 2) + "ms";
  return {row};
}
