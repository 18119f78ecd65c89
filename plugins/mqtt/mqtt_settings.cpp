#include "mqtt/mqtt_settings.h"

#include <charconv>
#include <fstream>
#include <rapidxml/rapidxml.hpp>
#include <sstream>

namespace mqtt {
namespace {

std::string Attribute(const rapidxml::xml_node<>& node, const char* name,
                      const std::string& fallback) {
  const rapidxml::xml_attribute<>* a = node.first_attribute(name);
  return a == nullptr ? fallback : std::string(a->value(), a->value_size());
}

// A decimal number within [low, high], or an error naming the attribute.
bool Number(const rapidxml::xml_node<>& node, const char* name, long long low, long long high,
            long long& out, std::string& error) {
  const rapidxml::xml_attribute<>* a = node.first_attribute(name);
  if (a == nullptr) return true;
  const std::string text(a->value(), a->value_size());
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    error = std::string(name) + "=\"" + text + "\" is not a number from " + std::to_string(low) +
            " to " + std::to_string(high);
    return false;
  }
  out = value;
  return true;
}

// A topic level: not empty, no '/', no wildcard, no NUL.
bool TopicLevel(const std::string& text) {
  return !text.empty() && text.find_first_of(std::string("/+#\0", 4)) == std::string::npos;
}

} // namespace

SettingsResult ParseSettings(std::string text, const std::string& hostName) {
  SettingsResult result;
  rapidxml::xml_document<> document;
  try {
    document.parse<0>(text.data());
  } catch (const rapidxml::parse_error& e) {
    result.error = std::string("not XML: ") + e.what();
    return result;
  }
  const rapidxml::xml_node<>* root = document.first_node();
  if (root == nullptr || std::string(root->name(), root->name_size()) != "Mqtt") {
    result.error = "the root element is not Mqtt";
    return result;
  }
  MqttSettings s;
  s.host = Attribute(*root, "Host", s.host);
  s.server = Attribute(*root, "Server", "");
  if (s.server.empty()) s.server = hostName;
  s.prefix = Attribute(*root, "Prefix", s.prefix);
  s.username = Attribute(*root, "Username", "");
  s.password = Attribute(*root, "Password", "");
  s.caFile = Attribute(*root, "CaFile", "");
  long long port = s.port, keepAlive = s.keepAliveSeconds, commands = 0,
            limit = static_cast<long long>(s.outboxLimit);
  if (!Number(*root, "Port", 1, 65535, port, result.error) ||
      !Number(*root, "KeepAlive", 5, 65535, keepAlive, result.error) ||
      !Number(*root, "AllowCommands", 0, 1, commands, result.error) ||
      !Number(*root, "OutboxLimit", 1, 100000000, limit, result.error))
    return result;
  if (s.host.empty()) {
    result.error = "Host is empty";
    return result;
  }
  if (!TopicLevel(s.prefix) || !TopicLevel(s.server)) {
    result.error = "Prefix \"" + s.prefix + "\" and Server \"" + s.server +
                   "\" must be non-empty topic levels without '/', '+' or '#'";
    return result;
  }
  s.port = static_cast<int>(port);
  s.keepAliveSeconds = static_cast<int>(keepAlive);
  s.allowCommands = commands == 1;
  s.outboxLimit = static_cast<size_t>(limit);
  result.settings = std::move(s);
  return result;
}

SettingsResult ReadSettings(const std::string& path, const std::string& hostName) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    SettingsResult result;
    result.missing = true;
    return result;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseSettings(text.str(), hostName);
}

} // namespace mqtt
