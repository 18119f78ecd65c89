#pragma once
// The plug-in's settings, read once from mqtt.xml in the core's working
// directory:
//   <Mqtt Host="127.0.0.1" Port="1883" Server="" Prefix="corvane" KeepAlive="10"
//         Username="" Password="" CaFile="" AllowCommands="0" OutboxLimit="10000"/>
#include <cstddef>
#include <optional>
#include <string>

namespace mqtt {

struct MqttSettings {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string server;             // names this recording server in every topic
  std::string prefix = "corvane"; // first topic level
  int keepAliveSeconds = 10;      // libmosquitto takes 5..65535
  std::string username;           // empty: no login
  std::string password;           // never logged
  std::string caFile;             // set: TLS with certificate verification
  bool allowCommands = false;
  size_t outboxLimit = 10000; // QoS 1 messages kept while the broker is away

  std::string ClientId() const { return "corvane-" + server; }
  std::string TopicRoot() const { return prefix + "/" + server; }
};

// The outcome of reading the file: settings, or why there are none.
struct SettingsResult {
  std::optional<MqttSettings> settings;
  bool missing = false; // no file: the plug-in stays idle
  std::string error;    // broken file: the reason, never the password
};

// Parses the text of mqtt.xml; `hostName` is the default Server.
SettingsResult ParseSettings(std::string text, const std::string& hostName);
SettingsResult ReadSettings(const std::string& path, const std::string& hostName);

} // namespace mqtt
