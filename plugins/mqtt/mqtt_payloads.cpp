#include "mqtt/mqtt_payloads.h"

#include <charconv>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <rapidxml/rapidxml.hpp>
#include <vector>

namespace mqtt {
namespace {

using json = nlohmann::ordered_json;

std::string Base64(const void* data, size_t length) {
  std::string out(4 * ((length + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                static_cast<const unsigned char*>(data), static_cast<int>(length));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// The library's strict dump is the UTF-8 check: it refuses invalid sequences.
bool DumpStrict(const json& document, std::string& out) {
  try {
    out = document.dump(-1, ' ', false, json::error_handler_t::strict);
    return true;
  } catch (const json::type_error&) {
    return false;
  }
}

} // namespace

std::string IsoTime(Clock::time_point time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return text;
}

std::string EventJson(Clock::time_point time, uint32_t source, const std::string& sourceName,
                      uint32_t camera, const void* payload, size_t length) {
  char id[4];
  std::snprintf(id, sizeof id, "%02x", source & 0xFF);
  json document = {{"time", IsoTime(time)},
                   {"source", id},
                   {"sourceName", sourceName},
                   {"camera", camera == 0 ? json(nullptr) : json(camera)}};
  const std::string text(static_cast<const char*>(payload), payload == nullptr ? 0 : length);
  document["payload"] = text;
  std::string out;
  if (DumpStrict(document, out)) return out;
  document.erase("payload");
  document["payloadBase64"] = Base64(text.data(), text.size());
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string OnlineJson(const StatusDocument& status, Clock::time_point started) {
  json plugins = json::array();
  for (const PluginEntry& p : status.plugins) {
    char id[4];
    if (p.id) std::snprintf(id, sizeof id, "%02x", *p.id);
    json entry = {{"id", p.id ? json(id) : json(nullptr)}, {"file", p.file}, {"opened", p.opened}};
    if (!p.error.empty()) entry["error"] = p.error;
    plugins.push_back(std::move(entry));
  }
  const json document = {{"state", "online"},
                         {"version", status.version},
                         {"started", IsoTime(started)},
                         {"plugins", std::move(plugins)}};
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string OfflineJson() {
  return R"({"state":"offline"})";
}

std::optional<CameraState> ParseCameraState(const void* payload, size_t length) {
  if (payload == nullptr || length == 0 || ::memmem(payload, length, "<Camera", 7) == nullptr)
    return std::nullopt;
  std::vector<char> text(static_cast<const char*>(payload),
                         static_cast<const char*>(payload) + length);
  text.push_back('\0');
  rapidxml::xml_document<> document;
  try {
    document.parse<0>(text.data());
  } catch (const rapidxml::parse_error&) {
    return std::nullopt;
  }
  const auto* varn = document.first_node("Varn");
  const auto* camera = varn == nullptr ? nullptr : varn->first_node("Camera");
  if (camera == nullptr) return std::nullopt;
  auto attribute = [&](const char* name) {
    const auto* a = camera->first_attribute(name);
    return a == nullptr ? std::string() : std::string(a->value(), a->value_size());
  };
  CameraState state;
  const std::string number = attribute("Number"), value = attribute("State");
  const auto [end, ec] =
      std::from_chars(number.data(), number.data() + number.size(), state.number);
  if (ec != std::errc() || end != number.data() + number.size() || state.number < 1 ||
      state.number > 65535 || (value != "online" && value != "offline"))
    return std::nullopt;
  state.online = value == "online";
  state.name = attribute("Name");
  state.reason = attribute("Reason");
  return state;
}

std::string CameraStateJson(const CameraState& state, Clock::time_point since) {
  const json document = {{"state", state.online ? "online" : "offline"},
                         {"name", state.name},
                         {"since", IsoTime(since)},
                         {"reason", state.reason}};
  return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace mqtt
