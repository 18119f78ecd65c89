#include "mqtt/mqtt_command.h"

#include <charconv>
#include <nlohmann/json.hpp>

#include "rk/core/event_parms.h"

namespace mqtt {
namespace {

using nlohmann::json;

// Text as an XML attribute value; false when it holds a character XML cannot carry.
bool XmlAttribute(const std::string& text, std::string& out) {
  for (const char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&apos;";
      break;
    case '\t':
      out += "&#9;";
      break;
    case '\n':
      out += "&#10;";
      break;
    case '\r':
      out += "&#13;";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20) return false;
      out += c;
    }
  }
  return true;
}

std::optional<uint32_t> CameraNumber(const std::string& text) {
  uint32_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < 1 || n > 65535)
    return std::nullopt;
  return n;
}

CommandResult Refused(std::string reason) {
  CommandResult result;
  result.reason = std::move(reason);
  return result;
}

} // namespace

std::string AlarmCommandTopic(const std::string& root) {
  return root + "/commands/alarm";
}

std::string PtzCommandFilter(const std::string& root) {
  return root + "/commands/ptz/+";
}

CommandResult ParseCommand(const std::string& root, const std::string& topic, const void* payload,
                           size_t length) {
  if (length > kMaxCommandBytes)
    return Refused("payload of " + std::to_string(length) + " bytes is over 64 KiB");
  const std::string ptzPrefix = root + "/commands/ptz/";
  const bool alarm = topic == AlarmCommandTopic(root);
  if (!alarm && topic.rfind(ptzPrefix, 0) != 0) return Refused("not a command topic");
  const char* text = static_cast<const char*>(payload);
  const json document = json::parse(text, text + (payload == nullptr ? 0 : length), nullptr, false);
  if (document.is_discarded()) return Refused("not valid JSON");
  if (!document.is_object()) return Refused("not a JSON object");

  CommandResult result;
  Command command;
  if (alarm) {
    const auto camera = document.find("camera");
    const auto words = document.find("text");
    if (camera == document.end()) return Refused("no \"camera\"");
    if (words == document.end()) return Refused("no \"text\"");
    if (!camera->is_number_integer() || camera->get<int64_t>() < 1 ||
        camera->get<int64_t>() > 65535)
      return Refused("\"camera\" is not a camera number from 1 to 65535");
    if (!words->is_string()) return Refused("\"text\" is not a string");
    command.type = RK_TYPE_ALARM;
    command.camera = static_cast<uint32_t>(camera->get<int64_t>());
    command.payload = "<?xml version=\"1.0\"?><Varn><Trigger Camera=\"" +
                      std::to_string(command.camera) + "\" Text=\"";
    if (!XmlAttribute(words->get_ref<const std::string&>(), command.payload))
      return Refused("\"text\" holds a control character");
    command.payload += "\"/></Varn>";
  } else {
    const auto camera = CameraNumber(topic.substr(ptzPrefix.size()));
    if (!camera) return Refused("the topic's last level is not a camera number from 1 to 65535");
    command.type = RK_TYPE_PTZ;
    command.camera = *camera;
    command.payload.assign(text, length);
  }
  result.command = std::move(command);
  return result;
}

} // namespace mqtt
