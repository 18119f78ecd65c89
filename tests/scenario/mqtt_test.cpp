// The MQTT plug-in with the real core and a real Mosquitto broker: events,
// status and camera states out, commands in, outages, several servers.
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>

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
std::vector<std::string> Alarms(MqttSubscriber& sub, const std::string& root,
                                const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& m : sub.On(root + "/events/alarm")) {
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
  EXPECT_EQ(Alarms(sub, "corvane/alpha", "a"), Numbered("a", 0, 100));

  const json first = json::parse(sub.On("corvane/alpha/events/alarm").front().payload);
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
  (void)first;
}
