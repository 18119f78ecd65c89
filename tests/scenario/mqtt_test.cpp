// The MQTT plug-in with the real core and a real Mosquitto broker: events,
// status and camera states out, commands in, outages, several servers.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

#include "core_harness.h"
#include "mqtt_broker.h"

namespace {

using json = nlohmann::json;

const std::regex kIsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

// A core with the MQTT plug-in and the probe "s3.so" (id 03), which posts on
// command and sees its own alarms (after mqtt.so, which loads first).
struct Server {
  Server(int port, const std::string& name, const std::string& attributes = "",
         const std::string& probe = "id 0x30000\ncontrol 1\naccept.alarm 0x2000000\n"
                                    "accept.ptz 0x2000000\n") {
    layout.AddProbe("s3.so", probe);
    layout.AddPlugin(CORVANE_MQTT_PLUGIN);
    // Without throttling the core sends no memory alarm of its own.
    layout.WriteFile("core.xml", "<?xml version=\"1.0\"?><Varn><Memory Throttling=\"0\"/></Varn>");
    layout.WriteFile("mqtt.xml", "<Mqtt Host=\"127.0.0.1\" Port=\"" + std::to_string(port) +
                                     "\" Server=\"" + name + "\" KeepAlive=\"5\" " + attributes +
                                     "/>");
    core.Start();
  }
  // The payloads of the probe's alarms and PTZ records, in order.
  std::vector<std::string> Seen(const std::string& type = "0x4") {
    std::vector<std::string> out;
    for (const auto& line : CallsOf(layout.Calls("s3.so"), "OnEvent"))
      if (CallField(line, "type") == type) out.push_back(CallField(line, "data"));
    return out;
  }
  bool Sees(const std::string& payload, const std::string& type = "0x4") {
    return WaitUntil([&] {
      const auto seen = Seen(type);
      return std::find(seen.begin(), seen.end(), HexOf(payload)) != seen.end();
    });
  }

  CoreLayout layout;
  CoreProcess core{layout};
};

// The "payload" texts of events/alarm starting with `prefix`, in arrival order.
std::vector<std::string> Alarms(const std::vector<MqttReceived>& all, const std::string& root,
                                const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& m : all) {
    if (m.topic != root + "/events/alarm") continue;
    const json event = json::parse(m.payload);
    if (event.contains("payload") && event["payload"].get<std::string>().rfind(prefix, 0) == 0)
      out.push_back(event["payload"]);
  }
  return out;
}

std::vector<std::string> Numbered(const std::string& prefix, int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

bool HasState(MqttSubscriber& sub, const std::string& root, const std::string& state) {
  return sub.WaitFor([&](const std::vector<MqttReceived>& all) {
    return std::any_of(all.begin(), all.end(), [&](const MqttReceived& m) {
      return m.topic == root + "/status" && json::parse(m.payload)["state"] == state;
    });
  });
}

} // namespace

// Alarms in order with their fields, the other kinds, binary payloads, camera
// states, retained status; commands ignored when off; "offline" on a stop.
TEST(Mqtt, EventsStatusCamerasAndOrderlyStop) {
  MqttBroker broker;
  MqttSubscriber sub(broker.port(), "corvane/#");
  Server alpha(broker.port(), "alpha");
  ProbeControl s3(alpha.layout, "s3.so");
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "online")) << alpha.core.Stdout();

  const json status = json::parse(sub.On("corvane/alpha/status").back().payload);
  EXPECT_EQ(status["version"], "26.1.3.0");
  EXPECT_TRUE(std::regex_match(status["started"].get<std::string>(), kIsoTime));
  EXPECT_NE(std::find(status["plugins"].begin(), status["plugins"].end(),
                      json{{"id", "03"}, {"file", "s3.so"}, {"opened", true}}),
            status["plugins"].end())
      << status.dump();
  EXPECT_NE(std::find(status["plugins"].begin(), status["plugins"].end(),
                      json{{"id", "4d"}, {"file", "mqtt.so"}, {"opened", true}}),
            status["plugins"].end());

  for (const auto& text : Numbered("a", 0, 100))
    ASSERT_EQ(ProbeControl::Field(s3.Command("post type=4 text=" + text), "ret"), "0");
  for (const char* kind : {"type=8 text=ptz1", "type=16 text=serial1", "type=1024 text=pos1",
                           "type=65536 text=analytic1", "type=4 hex=ff61"})
    s3.Command(std::string("post ") + kind);
  const std::string camera = "<?xml version=\"1.0\"?><Varn><Camera Number=\"1\" Name=\"gate\" "
                             "State=\"offline\" Reason=\"connection refused\"/></Varn>";
  s3.Command("post type=4 hex=" + HexOf(camera));
  s3.Command("post type=4 hex=" + HexOf(camera)); // no change: no second state
  ASSERT_TRUE(sub.WaitFor([](const std::vector<MqttReceived>& all) {
    return std::count_if(all.begin(), all.end(), [](const MqttReceived& m) {
             return m.topic == "corvane/alpha/events/alarm" &&
                    m.payload.find("Camera Number") != std::string::npos;
           }) == 2;
  }));
  EXPECT_EQ(Alarms(sub.Messages(), "corvane/alpha", "a"), Numbered("a", 0, 100));

  bool sawOwn = false;
  for (const auto& m : sub.On("corvane/alpha/events/alarm")) {
    const json event = json::parse(m.payload);
    if (event.value("payload", "") != "a7") continue;
    sawOwn = true;
    EXPECT_EQ(event["source"], "03");
    EXPECT_EQ(event["sourceName"], "s3");
    EXPECT_TRUE(event["camera"].is_null());
    EXPECT_TRUE(std::regex_match(event["time"].get<std::string>(), kIsoTime));
    EXPECT_FALSE(m.retained);
  }
  EXPECT_TRUE(sawOwn);
  for (const auto& [topic, text] : std::vector<std::pair<std::string, std::string>>{
           {"ptz", "ptz1"}, {"serial", "serial1"}, {"pos", "pos1"}, {"analytic", "analytic1"}}) {
    const auto got = sub.On("corvane/alpha/events/" + topic);
    ASSERT_EQ(got.size(), 1u) << topic;
    EXPECT_EQ(json::parse(got[0].payload)["payload"], text);
  }
  bool sawBinary = false;
  for (const auto& m : sub.On("corvane/alpha/events/alarm"))
    if (json::parse(m.payload).value("payloadBase64", "") == "/2E=") sawBinary = true;
  EXPECT_TRUE(sawBinary);
  const auto states = sub.On("corvane/alpha/cameras/1/state");
  ASSERT_EQ(states.size(), 1u);
  const json state = json::parse(states[0].payload);
  EXPECT_EQ(state["state"], "offline");
  EXPECT_EQ(state["name"], "gate");
  EXPECT_EQ(state["reason"], "connection refused");
  EXPECT_TRUE(std::regex_match(state["since"].get<std::string>(), kIsoTime));

  // Commands are off by default: a valid one posts nothing.
  ASSERT_TRUE(sub.Publish("corvane/alpha/commands/alarm", R"({"camera":1,"text":"ignored"})"));
  s3.Command("post type=4 text=marker");
  ASSERT_TRUE(alpha.Sees("marker"));
  for (const auto& payload : alpha.Seen())
    EXPECT_EQ(payload.find(HexOf("Trigger")), std::string::npos);

  // A newcomer gets the retained status and camera state at once.
  MqttSubscriber late(broker.port(), "corvane/alpha/+/+/state");
  MqttSubscriber lateStatus(broker.port(), "corvane/alpha/status");
  ASSERT_TRUE(late.WaitFor([](const auto& all) { return !all.empty(); }));
  EXPECT_TRUE(late.Messages()[0].retained);
  ASSERT_TRUE(lateStatus.WaitFor([](const auto& all) { return !all.empty(); }));
  EXPECT_TRUE(lateStatus.Messages()[0].retained);
  EXPECT_EQ(json::parse(lateStatus.Messages()[0].payload)["state"], "online");

  alpha.core.Signal(SIGTERM);
  EXPECT_EQ(alpha.core.Wait(30s).code, 0);
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "offline"));
  // Published by the plug-in before it said goodbye, after every event.
  EXPECT_NE(broker.Log().find("Client corvane-alpha disconnected."), std::string::npos)
      << broker.Log();
  const auto all = sub.Messages();
  EXPECT_EQ(all.back().topic, "corvane/alpha/status");
}

// Valid commands reach the core as records; garbage, wrong types and huge
// payloads are dropped with a Warning each; kill -9 leaves the last will.
TEST(Mqtt, CommandsInAndLastWillOnKill) {
  MqttBroker broker;
  MqttSubscriber sub(broker.port(), "corvane/#");
  Server alpha(broker.port(), "alpha", "AllowCommands=\"1\"");
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "online")) << alpha.core.Stdout();

  const std::string root = "corvane/alpha/commands/";
  ASSERT_TRUE(sub.Publish(root + "alarm", R"({"camera":1,"text":"door 3 \"forced\" <&>"})"));
  EXPECT_TRUE(alpha.Sees("<?xml version=\"1.0\"?><Varn><Trigger Camera=\"1\" Text=\"door 3 "
                         "&quot;forced&quot; &lt;&amp;&gt;\"/></Varn>"));
  ASSERT_TRUE(sub.Publish(root + "ptz/7", R"({"pan":10,"tilt":-5})"));
  EXPECT_TRUE(alpha.Sees(R"({"pan":10,"tilt":-5})", "0x8"));

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"alarm", "not json"},
      {"alarm", "[1,2]"},
      {"alarm", R"({"camera":"1","text":"x"})"},
      {"alarm", R"({"camera":1,"text":5})"},
      {"alarm", R"({"camera":1.5,"text":"x"})"},
      {"alarm", R"({"camera":0,"text":"x"})"},
      {"alarm", R"({"camera":1})"},
      {"alarm", R"({"text":"x"})"},
      {"alarm", R"({"camera":1,"text":")" + std::string(1 << 20, 'x') + "\"}"},
      {"ptz/abc", R"({"pan":1})"},
      {"ptz/70000", R"({"pan":1})"},
      {"ptz/7", "[1]"},
      {"ptz/7", "{"},
  };
  for (const auto& [topic, payload] : bad) ASSERT_TRUE(sub.Publish(root + topic, payload));
  ASSERT_TRUE(sub.Publish(root + "alarm", R"({"camera":2,"text":"last"})"));
  EXPECT_TRUE(
      alpha.Sees("<?xml version=\"1.0\"?><Varn><Trigger Camera=\"2\" Text=\"last\"/></Varn>"));
  EXPECT_EQ(alpha.Seen().size(), 2u);
  EXPECT_EQ(alpha.Seen("0x8").size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return alpha.core.CountStdout("dropped:") >= bad.size(); }));
  EXPECT_EQ(alpha.core.CountStdout("dropped:"), bad.size()) << alpha.core.Stdout();
  EXPECT_EQ(alpha.core.CountStdout("over 64 KiB"), 1u);
  EXPECT_TRUE(alpha.core.Running());

  // The posted alarm went out as an event too, from the plug-in itself.
  ASSERT_TRUE(sub.WaitFor([](const auto& all) {
    return std::any_of(all.begin(), all.end(), [](const MqttReceived& m) {
      return m.topic == "corvane/alpha/events/alarm" && json::parse(m.payload)["source"] == "4d" &&
             json::parse(m.payload)["camera"] == 2;
    });
  }));

  const auto killed = std::chrono::steady_clock::now();
  alpha.core.Signal(SIGKILL);
  alpha.core.Wait(10s);
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "offline"));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 10s); // 2 x KeepAlive
  MqttSubscriber late(broker.port(), "corvane/alpha/status");
  ASSERT_TRUE(late.WaitFor([](const auto& all) { return !all.empty(); }));
  EXPECT_TRUE(late.Messages()[0].retained);
  EXPECT_EQ(json::parse(late.Messages()[0].payload)["state"], "offline");
}

// Broker down: 500 alarms wait in the outbox and all arrive, in order, once it
// is back.
TEST(Mqtt, OutboxDeliversInOrderAfterOutage) {
  MqttBroker broker;
  MqttSubscriber sub(broker.port(), "corvane/alpha/#", "test-watcher");
  Server alpha(broker.port(), "alpha");
  ProbeControl s3(alpha.layout, "s3.so");
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "online"));
  broker.Stop();
  for (const auto& text : Numbered("o", 0, 500)) s3.Command("post type=4 text=" + text);
  ASSERT_TRUE(alpha.Sees("o499"));
  broker.Start();
  ASSERT_TRUE(sub.WaitFor(
      [](const auto& all) { return Alarms(all, "corvane/alpha", "o").size() >= 500; }, 30s))
      << alpha.core.Stdout();
  EXPECT_EQ(Alarms(sub.Messages(), "corvane/alpha", "o"), Numbered("o", 0, 500));
  EXPECT_TRUE(WaitUntil([&] { return alpha.core.CountStdout("connected to") >= 2; }));
  EXPECT_EQ(alpha.core.CountStdout("retrying from 1 s"), 1u) << alpha.core.Stdout();
  EXPECT_EQ(alpha.core.CountStdout("connected to"), 2u);
}

// OutboxLimit="100", broker down, 300 alarms: the newest 100 arrive, and one
// Warning says 200 were dropped.
TEST(Mqtt, OutboxLimitDropsTheOldest) {
  MqttBroker broker;
  MqttSubscriber sub(broker.port(), "corvane/alpha/#", "test-watcher");
  Server alpha(broker.port(), "alpha", "OutboxLimit=\"100\"");
  ProbeControl s3(alpha.layout, "s3.so");
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "online"));
  broker.Stop();
  for (const auto& text : Numbered("l", 0, 300)) s3.Command("post type=4 text=" + text);
  ASSERT_TRUE(alpha.Sees("l299"));
  broker.Start();
  ASSERT_TRUE(sub.WaitFor(
      [](const auto& all) {
        const auto got = Alarms(all, "corvane/alpha", "l");
        return !got.empty() && got.back() == "l299";
      },
      30s));
  EXPECT_EQ(Alarms(sub.Messages(), "corvane/alpha", "l"), Numbered("l", 200, 300));
  ASSERT_TRUE(alpha.core.WaitForStdout("oldest message"));
  EXPECT_EQ(alpha.core.CountStdout("oldest message"), 1u);
  EXPECT_EQ(alpha.core.CountStdout("dropped the 200 oldest message(s)"), 1u) << alpha.core.Stdout();
}

// Two recording servers on one broker: each takes only its own commands.
TEST(Mqtt, TwoServersTakeOnlyTheirOwnCommands) {
  MqttBroker broker;
  MqttSubscriber sub(broker.port(), "corvane/#");
  Server alpha(broker.port(), "alpha", "AllowCommands=\"1\"");
  Server beta(broker.port(), "beta", "AllowCommands=\"1\"");
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "online"));
  ASSERT_TRUE(HasState(sub, "corvane/beta", "online"));
  const auto command = [](const std::string& text) {
    return R"({"camera":1,"text":")" + text + "\"}";
  };
  const auto trigger = [](const std::string& text) {
    return "<?xml version=\"1.0\"?><Varn><Trigger Camera=\"1\" Text=\"" + text + "\"/></Varn>";
  };
  ASSERT_TRUE(sub.Publish("corvane/alpha/commands/alarm", command("for-alpha")));
  ASSERT_TRUE(sub.Publish("corvane/beta/commands/alarm", command("for-beta")));
  ASSERT_TRUE(sub.Publish("corvane/gamma/commands/alarm", command("for-gamma")));
  ASSERT_TRUE(alpha.Sees(trigger("for-alpha")));
  ASSERT_TRUE(beta.Sees(trigger("for-beta")));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(alpha.Seen(), std::vector<std::string>{HexOf(trigger("for-alpha"))});
  EXPECT_EQ(beta.Seen(), std::vector<std::string>{HexOf(trigger("for-beta"))});
  // Each server's events stay under its own name.
  ASSERT_TRUE(sub.WaitFor([&](const auto& all) {
    return Alarms(all, "corvane/beta", "<?xml").size() == 1 &&
           Alarms(all, "corvane/alpha", "<?xml").size() == 1;
  }));
  EXPECT_EQ(Alarms(sub.Messages(), "corvane/beta", "<?xml")[0], trigger("for-beta"));
}

// A missing mqtt.xml leaves the plug-in idle with one Info line; a broken one
// gives one Error with the reason, and never the password.
TEST(Mqtt, MissingOrBrokenSettingsLeaveItIdle) {
  CoreLayout layout;
  layout.AddPlugin(CORVANE_MQTT_PLUGIN);
  layout.WriteFile("mqtt.xml", R"(<Mqtt Port="18x3" Password="s3cret-word"/>)");
  {
    CoreProcess core(layout);
    core.Start();
    ASSERT_TRUE(core.WaitForStdout("Opening 4d:mqtt"));
    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(30s).code, 0);
    EXPECT_EQ(core.CountStdout("mqtt.xml not used: Port=\"18x3\" is not a number from 1 to 65535"),
              1u)
        << core.Stdout();
    EXPECT_EQ(core.Stdout().find("s3cret"), std::string::npos);
  }
  layout.WriteFile("mqtt.xml", "<Mqtt");
  {
    CoreProcess core(layout);
    core.Start();
    ASSERT_TRUE(core.WaitForStdout("Opening 4d:mqtt"));
    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(30s).code, 0);
    EXPECT_EQ(core.CountStdout("mqtt.xml not used: not XML"), 1u) << core.Stdout();
  }
  fs::remove(layout.work / "mqtt.xml");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("Opening 4d:mqtt"));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
  EXPECT_EQ(core.CountStdout("no mqtt.xml in the working directory; staying idle"), 1u);
}

// TLS with the broker's certificate checked against CaFile, and a login; the
// password never shows. A wrong password or a foreign CA keeps it out.
TEST(Mqtt, TlsAndLoginWithoutThePasswordInTheLog) {
  CoreLayout keys(false); // a temporary directory for the certificates
  const fs::path dir = keys.root;
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string script =
      "cd " + dir.string() + " && exec >openssl.log 2>&1 && openssl req -x509 " + ec +
      " -keyout ca.key -out ca.crt -days 1 -subj /CN=test-ca && openssl req -x509 " + ec +
      " -keyout other.key -out other.crt -days 1 -subj /CN=other-ca && openssl req " + ec +
      " -keyout server.key -out server.csr -subj /CN=127.0.0.1 && printf "
      "'subjectAltName=IP:127.0.0.1' >san && openssl x509 -req -in server.csr -CA ca.crt -CAkey "
      "ca.key -CAcreateserial -out server.crt -days 1 -extfile san && chmod 644 server.key && "
      "mosquitto_passwd -b -c passwords cam 'pa55-word' && chmod 644 passwords";
  ASSERT_EQ(std::system(("bash -c \"" + script + "\"").c_str()), 0)
      << keys.ReadFile("../openssl.log");
  const int tls = FreeLoopbackPort();
  MqttBroker broker("listener " + std::to_string(tls) + " 127.0.0.1\ncafile " +
                        (dir / "ca.crt").string() + "\ncertfile " + (dir / "server.crt").string() +
                        "\nkeyfile " + (dir / "server.key").string() +
                        "\nallow_anonymous false\npassword_file " + (dir / "passwords").string() +
                        "\n",
                    "per_listener_settings true\n");
  MqttSubscriber sub(broker.port(), "corvane/#");
  const std::string ca = "CaFile=\"" + (dir / "ca.crt").string() + "\" Username=\"cam\" ";
  Server alpha(tls, "alpha", ca + "Password=\"pa55-word\"");
  Server beta(tls, "beta", ca + "Password=\"wrong-pa55\"");
  Server gamma(tls, "gamma",
               "CaFile=\"" + (dir / "other.crt").string() +
                   "\" Username=\"cam\" Password=\"pa55-word\"");
  ASSERT_TRUE(HasState(sub, "corvane/alpha", "online")) << alpha.core.Stdout() << broker.Log();
  EXPECT_TRUE(alpha.core.WaitForStdout("(TLS)"));
  EXPECT_TRUE(beta.core.WaitForStdout("retrying from 1 s")) << beta.core.Stdout();
  EXPECT_TRUE(gamma.core.WaitForStdout("retrying from 1 s")) << gamma.core.Stdout();
  EXPECT_TRUE(sub.On("corvane/beta/status").empty());
  EXPECT_TRUE(sub.On("corvane/gamma/status").empty());
  for (Server* server : {&alpha, &beta, &gamma}) {
    server->core.Signal(SIGTERM);
    EXPECT_EQ(server->core.Wait(30s).code, 0);
    EXPECT_EQ(server->core.Stdout().find("pa55"), std::string::npos) << server->core.Stdout();
  }
}

// Close returns within a second whatever the broker does: here a server that
// takes the connection and never answers.
TEST(Mqtt, CloseIsPromptWithASilentBroker) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  Server alpha(ntohs(addr.sin_port), "alpha");
  ASSERT_TRUE(alpha.core.WaitForStdout("Opening 03:s3"));
  std::this_thread::sleep_for(300ms); // connected, CONNECT sent, no answer
  alpha.core.Signal(SIGTERM);
  EXPECT_EQ(alpha.core.Wait(30s).code, 0);
  // The console time of "Closing 4d:mqtt" and of the next plug-in's Close.
  const std::string out = alpha.core.Stdout();
  const auto millis = [&](size_t at) {
    const size_t line = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
    const size_t digits = out.find_first_of("0123456789", line + 2); // after the colour code
    int h = 0, m = 0, sec = 0, ms = 0;
    std::sscanf(out.c_str() + digits, "%d:%d:%d.%d", &h, &m, &sec, &ms);
    return ((h * 60 + m) * 60 + sec) * 1000 + ms;
  };
  const size_t closing = out.find("Closing 4d:mqtt");
  const size_t next = out.find("Closing ", closing + 1);
  ASSERT_NE(next, std::string::npos) << out;
  EXPECT_LT(millis(next) - millis(closing), 1000) << out;
  ::close(fd);
}
