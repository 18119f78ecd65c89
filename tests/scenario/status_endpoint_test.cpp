// The status endpoint on the real core: every path, the exposition read by
// Prometheus' own parser with counters matching what a probe posted, health
// at stop, clients that misbehave without holding up IPC, and the page in a
// real browser.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core_harness.h"

namespace {

unsigned short FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

int Connect(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends `request` and reads until the server closes (5 s at most).
std::string Exchange(unsigned short port, const std::string& request) {
  const int fd = Connect(port);
  if (fd < 0) return "";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[65536];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 5000) == 1) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return answer;
}

std::string Get(unsigned short port, const std::string& path, const std::string& method = "GET") {
  return Exchange(port, method + " " + path + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
}

std::string Body(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

// Every sample of an exposition as "name{a=x,b=y}" -> value, read by the
// parser of Prometheus' Python client.
std::map<std::string, double> Parse(const fs::path& file) {
  std::string out;
  // Debian's Python, which python3-prometheus-client is for.
  EXPECT_EQ(Shell(Quiet,
                  "/usr/bin/python3 -c '"
                  "import sys\n"
                  "from prometheus_client.parser import text_string_to_metric_families as f\n"
                  "for family in f(open(sys.argv[1]).read()):\n"
                  "  for s in family.samples:\n"
                  "    labels = \",\".join(k + \"=\" + v for k, v in sorted(s.labels.items()))\n"
                  "    print(s.name + \"{\" + labels + \"} \" + repr(float(s.value)))\n"
                  "' '" +
                      file.string() + "'",
                  out),
            0)
      << out;
  std::map<std::string, double> samples;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.rfind(' ');
    samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return samples;
}

std::string WithHttp(unsigned short port) {
  return "<?xml version=\"1.0\"?>\n<Varn><Http Listen=\"127.0.0.1:" + std::to_string(port) +
         "\"/></Varn>\n";
}

} // namespace

TEST(StatusEndpoint, ServesTheRealCore) {
  const std::string kDeliveriesToB = "corvane_plugin_deliveries_total{file=b.so,plugin=03}";
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x20000\ncontrol 1\n");
  layout.AddProbe("b.so", "id 0x30000\naccept.alarm 0x2000000\n");
  const unsigned short port = FreePort();
  layout.WriteFile("core.xml", WithHttp(port));
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(
      core.WaitForStdout("Http: status endpoint on http://127.0.0.1:" + std::to_string(port) + "/"))
      << core.Stdout();
  ASSERT_TRUE(Opened(layout, "b.so"));
  // The setting stays in the document the core writes.
  EXPECT_TRUE(WaitUntil([&] {
    return layout.ReadFile("core.xml")
               .find("<Http Listen=\"127.0.0.1:" + std::to_string(port) + "\"/>") !=
           std::string::npos;
  })) << layout.ReadFile("core.xml");

  // The core queues an alarm of its own (the memory event), counted as the
  // dispatch loop takes it: count from once b.so has it.
  std::map<std::string, double> before;
  ASSERT_TRUE(WaitUntil([&] {
    layout.WriteFile("before.txt", Body(Get(port, "/metrics")));
    before = Parse(layout.work / "before.txt");
    return before[kDeliveriesToB] >= 1;
  })) << layout.ReadFile("before.txt");
  ProbeControl a(layout, "a.so");
  for (int i = 0; i < 7; ++i) EXPECT_EQ(a.Command("post type=4 text=alarm"), "ret=0");
  EXPECT_EQ(a.Command("post type=64 flags=0x1000002 level=50 text=probe-warning"), "ret=0");
  ASSERT_TRUE(core.Send(Packet(0x5, Address(2), "to a")));
  ASSERT_TRUE(core.Send(Packet(0x5, Address(2), "to a again")));

  // /metrics, as Prometheus reads it.
  std::map<std::string, double> samples;
  ASSERT_TRUE(WaitUntil([&] {
    const std::string answer = Get(port, "/metrics");
    layout.WriteFile("metrics.txt", Body(answer));
    samples = Parse(layout.work / "metrics.txt");
    return samples["corvane_ipc_packets_received_total{}"] >= 2 &&
           samples[kDeliveriesToB] - before[kDeliveriesToB] >= 7;
  })) << layout.ReadFile("metrics.txt");
  EXPECT_EQ(samples["corvane_events_queued_total{type=alarm}"] -
                before["corvane_events_queued_total{type=alarm}"],
            7);
  // Every OnEvent call b.so saw (the alarms, and what else it accepts).
  EXPECT_EQ(samples[kDeliveriesToB], CallsOf(layout.Calls("b.so"), "OnEvent").size());
  EXPECT_EQ(samples["corvane_build_info{version=26.1.3.0}"], 1);
  EXPECT_GE(samples["corvane_log_lines_total{level=warning}"], 1);
  EXPECT_EQ(samples["corvane_parent_connected{}"], 1);
  EXPECT_EQ(samples["corvane_plugins_loaded{}"], 3); // a, b and the logging plug-in
  EXPECT_EQ(samples["corvane_throttled{}"], 0);
  EXPECT_GT(samples["corvane_memory_limit_bytes{}"], 0);
  EXPECT_EQ(samples.count("corvane_plugin_on_event_duration_seconds_count{file=b.so,plugin=03}"),
            1u);
  const std::string head = Get(port, "/metrics", "HEAD");
  EXPECT_NE(head.find("text/plain; version=0.0.4"), std::string::npos) << head;
  EXPECT_EQ(Body(head), "");

  const std::string health = Get(port, "/healthz");
  EXPECT_EQ(health.rfind("HTTP/1.1 200", 0), 0u) << health;
  EXPECT_EQ(Body(health), "ok\n");
  const std::string status = Body(Get(port, "/api/status"));
  EXPECT_NE(status.find("\"version\":\"26.1.3.0\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"file\":\"b.so\""), std::string::npos) << status;
  EXPECT_NE(status.find("probe-warning"), std::string::npos) << status;
  EXPECT_NE(Get(port, "/").find("<title>"), std::string::npos);
  EXPECT_EQ(Get(port, "/nothing").rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(Get(port, "/metrics", "DELETE").rfind("HTTP/1.1 405", 0), 0u);

  // A client that never finishes its request and one that sends too much:
  // packets keep flowing both ways meanwhile.
  const int slow = Connect(port);
  ASSERT_GE(slow, 0);
  ::send(slow, "GET /metrics HTTP/1.1\r\nHost:", 28, MSG_NOSIGNAL);
  const std::string big =
      Exchange(port, "GET / HTTP/1.1\r\nX: " + std::string(9000, 'x') + "\r\n\r\n");
  EXPECT_EQ(big.rfind("HTTP/1.1 431", 0), 0u) << big.substr(0, 100);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(a.Command("post type=8192 hex=" + HexOf(Packet(0x55, Address(2), "up"))), "ret=0");
  const auto up = core.Receive(2s);
  ASSERT_TRUE(up.has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  ::close(slow);

  core.Signal(SIGTERM);
  const ExitStatus exit = core.Wait(30s);
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.code, 0) << core.Stderr();
}

TEST(StatusEndpoint, HealthTurnsAtStop) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x20000\ncontrol 1\n");
  layout.AddProbe("slow.so", "id 0x30000\naccept.alarm 0x2000000\nevent_ms 200\n");
  const unsigned short port = FreePort();
  layout.WriteFile("core.xml", WithHttp(port));
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("Http: status endpoint on"));
  ASSERT_TRUE(Opened(layout, "slow.so"));
  EXPECT_EQ(Body(Get(port, "/healthz")), "ok\n");
  // Ten slow deliveries keep the stopping core draining for two seconds.
  ProbeControl a(layout, "a.so");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a.Command("post type=4 text=slow"), "ret=0");
  core.Signal(SIGTERM);
  std::string health;
  EXPECT_TRUE(WaitUntil(
      [&] { return (health = Get(port, "/healthz")).find("503") != std::string::npos; }, 5s))
      << health;
  EXPECT_EQ(Body(health), "stopping\n");
  EXPECT_EQ(core.Wait(30s).code, 0);
}

TEST(StatusEndpoint, BadListenIsAnErrorAndTheCoreRunsOn) {
  CoreLayout layout;
  layout.WriteFile("core.xml",
                   "<?xml version=\"1.0\"?>\n<Varn><Http Listen=\"localhost\"/></Varn>\n");
  CoreProcess core(layout);
  core.Start();
  EXPECT_TRUE(core.WaitForStdout("Http: Listen \"localhost\": no port")) << core.Stdout();
  // Kept as written, for the user to mend.
  EXPECT_TRUE(WaitUntil([&] {
    return layout.ReadFile("core.xml").find("<Http Listen=\"localhost\"/>") != std::string::npos;
  }));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}

TEST(StatusEndpoint, PageInABrowser) {
  std::string out;
  if (Shell(Quiet, "command -v chromium", out) != 0) GTEST_SKIP() << "no chromium";
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x20000\ncontrol 1\n");
  const unsigned short port = FreePort();
  layout.WriteFile("core.xml", WithHttp(port));
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("Http: status endpoint on"));
  ASSERT_TRUE(Opened(layout, "a.so"));
  {
    ProbeControl a(layout, "a.so");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a.Command("post type=4 text=alarm"), "ret=0");
    EXPECT_EQ(a.Command("post type=64 flags=0x1000002 level=75 text=page-error"), "ret=0");
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  const std::string chromium = "chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
                               "--user-data-dir='" +
                               (layout.root / "chromium").string() +
                               "' --virtual-time-budget=5000 ";
  ASSERT_EQ(Shell(Quiet, "timeout 60 " + chromium + "--dump-dom " + url, out), 0);
  // Filled in by the page's script from /api/status.
  EXPECT_NE(out.find("<td>a.so</td>"), std::string::npos) << out;
  EXPECT_NE(out.find("<td>RuzUZ.so</td>"), std::string::npos);
  // At least the three alarms posted, with a rate beside the total.
  std::smatch alarms;
  ASSERT_TRUE(std::regex_search(
      out, alarms,
      std::regex(
          R"re(>events queued · alarm</td><td class="n">([0-9]+)</td><td class="n">[0-9.,–-]+</td>)re")))
      << out;
  EXPECT_GE(std::stoi(alarms[1]), 3);
  EXPECT_NE(out.find("page-error"), std::string::npos);
  EXPECT_NE(out.find("<b id=\"version\">26.1.3.0</b>"), std::string::npos);
  // A phone-sized screenshot, kept with the build.
  const fs::path shot = fs::path(CORVANE_BINARY_DIR) / "status-page.png";
  std::error_code ignored;
  fs::remove(shot, ignored);
  EXPECT_EQ(Shell(Quiet,
                  "timeout 60 " + chromium + "--window-size=390,844 --screenshot='" +
                      shot.string() + "' " + url,
                  out),
            0);
  EXPECT_GT(fs::file_size(shot, ignored), 1000u);
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}
