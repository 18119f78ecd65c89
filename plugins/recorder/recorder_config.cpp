#include "recorder_config.h"

#include <charconv>
#include <fstream>
#include <rapidxml/rapidxml.hpp>
#include <sstream>
#include <vector>

namespace recorder {

namespace {

template <typename Number>
void ReadNumber(rapidxml::xml_node<>* node, const char* name, Number& into, std::string& warning) {
  const rapidxml::xml_attribute<>* a = node->first_attribute(name);
  if (a == nullptr) return;
  const char* end = a->value() + a->value_size();
  Number value{};
  const auto [at, error] = std::from_chars(a->value(), end, value);
  if (error != std::errc() || at != end) {
    warning += std::string(warning.empty() ? "" : "; ") + name + "=\"" + a->value() +
               "\" is not a number, using " + std::to_string(into);
    return;
  }
  into = value;
}

} // namespace

RecorderConfig ReadRecorderConfig(const std::string& path, std::string& warning) {
  RecorderConfig config;
  warning.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return config;
  std::ostringstream text;
  text << in.rdbuf();
  std::string bytes = text.str();
  std::vector<char> buffer(bytes.begin(), bytes.end());
  buffer.push_back('\0');
  rapidxml::xml_document<> document;
  try {
    document.parse<0>(buffer.data());
  } catch (const rapidxml::parse_error& e) {
    warning = path + ": " + e.what() + ", using the defaults";
    return config;
  }
  rapidxml::xml_node<>* node = document.first_node("Recorder");
  if (node == nullptr) {
    warning = path + ": no Recorder element, using the defaults";
    return config;
  }
  if (const auto* root = node->first_attribute("Root"); root != nullptr && root->value_size() > 0)
    config.root = root->value();
  ReadNumber(node, "SegmentSeconds", config.segmentSeconds, warning);
  ReadNumber(node, "MaxBytes", config.maxBytes, warning);
  ReadNumber(node, "MaxDays", config.maxDays, warning);
  if (config.segmentSeconds == 0) {
    warning += std::string(warning.empty() ? "" : "; ") + "SegmentSeconds=\"0\", using 60";
    config.segmentSeconds = 60;
  }
  if (!warning.empty() && warning.rfind(path, 0) != 0) warning = path + ": " + warning;
  return config;
}

} // namespace recorder
