// Settings from "product.xml" and "core.xml", read once at start.
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <strings.h>

#include "config/core_settings.h"
#include "config/file_store.h"
#include "log/core_log.h"
#include "log/logger.h"
#include "util/parsed_xml.h"
#include "util/xml_path.h"

namespace corvane {

namespace {

std::string AttributeText(const rapidxml::xml_node<char>& node, const char* name) {
  const auto* attribute = node.first_attribute(name);
  return attribute == nullptr ? std::string()
                              : std::string(attribute->value(), attribute->value_size());
}

// Only "0" and any spelling of "false" switch throttling off.
bool ThrottlingOn(const rapidxml::xml_node<char>& memory) {
  const auto* attribute = memory.first_attribute("Throttling");
  if (attribute == nullptr) return true;
  const std::string_view value(attribute->value(), attribute->value_size());
  if (value == "0") return false;
  return !(value.size() == 5 && ::strncasecmp(value.data(), "false", 5) == 0);
}

} // namespace

CoreSettings ReadCoreSettings(const CoreSettings& defaults, Logger& log) {
  CoreSettings settings = defaults;
  try {
    const auto product = std::make_unique<ParsedXml>(ReadXmlFile("product.xml"));
    if (const auto* root = product->document.first_node()) {
      if (const auto* node = root->first_node("Product")) {
        settings.productName = AttributeText(*node, "Family");
        settings.version = AttributeText(*node, "Version");
      }
    }
  } catch (const std::exception&) {
  }

  std::unique_ptr<ParsedXml> core;
  try {
    core = std::make_unique<ParsedXml>(ReadXmlFile("core.xml"));
  } catch (const std::exception& error) {
    LogError("{}\nConfig defaulted", error.what());
    return settings;
  }
  if (const auto* memoryNode = FindPath(&core->document, "Varn/Memory"))
    settings.throttling = ThrottlingOn(*memoryNode);
  if (const auto* root = core->document.first_node()) {
    if (const auto* http = root->first_node("Http"))
      settings.httpListen = AttributeText(*http, "Listen");
  }
  log.ApplyLevelUpdate(core->document);
  return settings;
}

} // namespace corvane
