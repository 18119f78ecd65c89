// Settings from "product.xml" and "core.xml", read once at start.
#include <cstring>
#include <exception>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

#include "config/file_store.h"
#include "config/xml_path.h"
#include "core/dvr_core.h"
#include "log/core_log.h"

namespace {

// Holds the parsed document (with its 64 KiB pool, so kept on the heap) and the buffer it points
// into.
struct ParsedXml {
  std::vector<char> text;
  rapidxml::xml_document<char> document;

  explicit ParsedXml(const std::string& content) : text(content.begin(), content.end()) {
    text.push_back('\0');
    document.parse<0>(text.data());
  }
};

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

void DvrCore::ReadConfiguration() {
  // Product identity: any failure keeps the built-in texts, silently.
  try {
    const auto product = std::make_unique<ParsedXml>(ReadXmlFile("product.xml"));
    if (const auto* root = product->document.first_node()) {
      if (const auto* node = root->first_node("Product")) {
        productName = AttributeText(*node, "Family");
        version = AttributeText(*node, "Version");
      }
    }
  } catch (const std::exception&) {
  }

  std::unique_ptr<ParsedXml> core;
  try {
    core = std::make_unique<ParsedXml>(ReadXmlFile("core.xml"));
  } catch (const std::exception& error) {
    LogError("{}\nConfig defaulted", error.what());
    return;
  }
  if (const auto* memoryNode = FindPath(&core->document, "Varn/Memory"))
    memory.SetThrottlingEnabled(ThrottlingOn(*memoryNode));
  log.ApplyLevelUpdate(core->document);
}
