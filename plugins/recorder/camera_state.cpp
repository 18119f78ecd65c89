#include "camera_state.h"

#include <charconv>
#include <rapidxml/rapidxml.hpp>
#include <vector>

namespace recorder {

CameraState ReadCameraState(const std::string& xml) {
  CameraState state;
  std::vector<char> buffer(xml.begin(), xml.end());
  buffer.push_back('\0');
  rapidxml::xml_document<> document;
  try {
    document.parse<0>(buffer.data());
  } catch (const rapidxml::parse_error&) {
    return state;
  }
  const rapidxml::xml_node<>* root = document.first_node("Varn");
  const rapidxml::xml_node<>* camera = root != nullptr ? root->first_node("Camera") : nullptr;
  if (camera == nullptr) return state;
  const rapidxml::xml_attribute<>* number = camera->first_attribute("Number");
  if (number == nullptr) return state;
  const char* end = number->value() + number->value_size();
  uint32_t value = 0;
  const auto [at, error] = std::from_chars(number->value(), end, value);
  if (error != std::errc() || at != end || value == 0 || value > 65535) return state;
  state.camera = value;
  if (const auto* name = camera->first_attribute("Name")) state.name = name->value();
  if (const auto* s = camera->first_attribute("State")) state.state = s->value();
  return state;
}

} // namespace recorder
