#include "mqtt/status_document.h"

#include <charconv>
#include <cstring>
#include <rapidxml/rapidxml.hpp>

namespace mqtt {
namespace {

using Node = rapidxml::xml_node<>;

std::string Text(const Node& node, const char* attribute) {
  const rapidxml::xml_attribute<>* a = node.first_attribute(attribute);
  return a == nullptr ? std::string() : std::string(a->value(), a->value_size());
}

std::optional<long long> Integer(const std::string& text) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

constexpr long long kCoreId = -2147483648LL;

} // namespace

std::string FileStem(const std::string& file) {
  return file.substr(0, file.find('.'));
}

std::optional<StatusDocument> ParseStatusDocument(std::string text) {
  rapidxml::xml_document<> document;
  try {
    document.parse<0>(text.data());
  } catch (const rapidxml::parse_error&) {
    return std::nullopt;
  }
  const Node* varn = document.first_node("Varn");
  const Node* modules = varn == nullptr ? nullptr : varn->first_node("Modules");
  if (modules == nullptr || modules->first_attribute("Delta") != nullptr) return std::nullopt;
  const Node* core = modules->first_node("Module");
  if (core == nullptr || Text(*core, "Name") != "Core") return std::nullopt;

  StatusDocument status;
  status.version = Text(*core, "Version");
  if (const Node* product = varn->first_node("Product")) status.version = Text(*product, "Version");

  // Failed plug-ins' reasons: the Module elements after the core's, by number.
  std::map<long long, std::string> reasons;
  for (const Node* m = core->next_sibling("Module"); m != nullptr; m = m->next_sibling("Module"))
    if (auto k = Integer(Text(*m, "ID"))) reasons[*k] = Text(*m, "Version");

  bool first = true;
  for (const Node* p = core->first_node("Plugin"); p != nullptr; p = p->next_sibling("Plugin")) {
    const std::optional<long long> id = Integer(Text(*p, "ID"));
    const std::string file = Text(*p, "Filename");
    if (first) { // the core's own entry
      first = false;
      status.coreStem = FileStem(file);
      continue;
    }
    if (!id) continue;
    PluginEntry entry;
    entry.file = file;
    if (*id > 0 && *id < 65536) { // a failed plug-in, numbered from 1
      entry.error = reasons[*id];
    } else {
      entry.opened = Text(*p, "OpenCode") == "0";
      if (*id != kCoreId) {
        entry.id = static_cast<uint32_t>((*id >> 16) & 0xFF);
        status.stems[*entry.id] = FileStem(file);
      }
    }
    status.plugins.push_back(std::move(entry));
  }
  return status;
}

} // namespace mqtt
