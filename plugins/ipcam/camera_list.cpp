#include "ipcam/camera_list.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <rapidxml/rapidxml.hpp>
#include <set>
#include <sstream>

#include "ipcam/url_mask.h"

namespace ipcam {

namespace {

std::string Attribute(const rapidxml::xml_node<>* node, const char* name) {
  const auto* a = node->first_attribute(name);
  return a == nullptr ? std::string() : std::string(a->value(), a->value_size());
}

// "1"/"true" or "0"/"false"; anything else is an error.
bool Flag(const std::string& value, bool fallback, bool& ok) {
  if (value.empty()) return fallback;
  if (value == "1" || value == "true") return true;
  if (value == "0" || value == "false") return false;
  ok = false;
  return fallback;
}

} // namespace

CameraList ParseCameraList(std::string text) {
  CameraList list;
  rapidxml::xml_document<> document;
  try {
    document.parse<0>(text.data());
  } catch (const rapidxml::parse_error& e) {
    list.error = std::string("not well-formed XML: ") + e.what();
    return list;
  }
  const auto* root = document.first_node("Cameras");
  if (root == nullptr) {
    list.error = "no <Cameras> element";
    return list;
  }
  std::set<uint32_t> numbers;
  int position = 0;
  for (const auto* node = root->first_node("Camera"); node != nullptr;
       node = node->next_sibling("Camera")) {
    ++position;
    CameraConfig camera;
    const std::string number = Attribute(node, "Number");
    camera.name = Attribute(node, "Name");
    camera.url = Attribute(node, "Url");
    const std::string transport = Attribute(node, "Transport");
    const std::string label = "Camera #" + std::to_string(position) +
                              (number.empty() ? "" : " Number=\"" + number + "\"") +
                              (camera.name.empty() ? "" : " Name=\"" + camera.name + "\"");
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(number.c_str(), &end, 10);
    bool ok = true;
    camera.audio = Flag(Attribute(node, "Audio"), false, ok);
    camera.loop = Flag(Attribute(node, "Loop"), false, ok);
    if (number.empty() || *end != '\0' || errno != 0 || value < 1 || value > 65535) {
      list.warnings.push_back(label + " skipped: Number must be 1-65535");
    } else if (numbers.count(static_cast<uint32_t>(value)) != 0) {
      list.warnings.push_back(label + " skipped: Number " + number + " is used twice");
    } else if (camera.url.empty()) {
      list.warnings.push_back(label + " skipped: no Url");
    } else if (!transport.empty() && transport != "tcp" && transport != "udp") {
      list.warnings.push_back(label + " skipped: Transport must be tcp or udp");
    } else if (!ok) {
      list.warnings.push_back(label + " skipped: Audio and Loop take 0 or 1");
    } else {
      camera.number = static_cast<uint32_t>(value);
      camera.tcp = transport != "udp";
      numbers.insert(camera.number);
      list.cameras.push_back(std::move(camera));
    }
  }
  return list;
}

CameraList ReadCameraList(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    CameraList list;
    list.error = "cannot open " + path + ": " + std::strerror(errno);
    return list;
  }
  std::ostringstream text;
  text << in.rdbuf();
  CameraList list = ParseCameraList(text.str());
  if (!list.error.empty()) list.error = path + ": " + list.error;
  return list;
}

} // namespace ipcam
