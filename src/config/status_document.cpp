#include "config/status_document.h"

#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <string_view>

#include "config/xml_writer.h"
#include "rk/core/core_ids.h"
#include "util/file_name.h"

namespace corvane {

using namespace rk::core;

namespace {

// Builds nodes whose names and values live in the document's pool.
class DocumentBuilder {
public:
  explicit DocumentBuilder(rapidxml::xml_document<char>& document) : document_(document) {}

  rapidxml::xml_node<char>* Element(rapidxml::xml_node<char>* parent, const char* name) {
    auto* node = document_.allocate_node(rapidxml::node_element, name);
    parent->append_node(node);
    return node;
  }
  void Attribute(rapidxml::xml_node<char>* node, const char* name, std::string_view value) {
    const char* copy = document_.allocate_string(value.data(), value.size());
    node->append_attribute(document_.allocate_attribute(name, copy, 0, value.size()));
  }
  void Attribute(rapidxml::xml_node<char>* node, const char* name, int64_t value) {
    Attribute(node, name, std::to_string(value));
  }

private:
  rapidxml::xml_document<char>& document_;
};

int64_t Ms(int64_t ns) {
  return ns / 1'000'000;
}

// A plug-in's id word as written: the core's id for RK_ID_NONE, else bits 16-23.
int64_t DocumentId(uint64_t idWord) {
  return idWord == kIdNone ? INT32_MIN : static_cast<int64_t>(idWord & 0xFF0000u);
}

struct PluginLine {
  int64_t id;
  std::string_view fileName;
  int64_t loadMs, openMs, code;
  int32_t level;
};

void AddPlugin(DocumentBuilder& b, rapidxml::xml_node<char>* module, const PluginLine& entry) {
  auto* node = b.Element(module, "Plugin");
  b.Attribute(node, "ID", entry.id);
  b.Attribute(node, "Filename", entry.fileName);
  b.Attribute(node, "Opened", "1");
  b.Attribute(node, "LoadTimeMs", entry.loadMs);
  b.Attribute(node, "OpenTimeMs", entry.openMs);
  b.Attribute(node, "OpenCode", entry.code);
  b.Attribute(node, "LogLevel", entry.level);
  b.Attribute(node, "LogLevelDefault", "-1");
}

void AddModule(DocumentBuilder& b, rapidxml::xml_node<char>* modules, int64_t id,
               std::string_view name, std::string_view version) {
  auto* node = b.Element(modules, "Module");
  b.Attribute(node, "ID", id);
  b.Attribute(node, "Name", DisplayStem(name));
  b.Attribute(node, "Version", version);
}

} // namespace

StatusTexts PrintStatusDocument(const StatusDocument& status) {
  // The document object carries its 64 KiB pool; keep it off the stack.
  const auto document = std::make_unique<rapidxml::xml_document<char>>();
  DocumentBuilder b(*document);
  document->append_node(document->allocate_node(rapidxml::node_declaration));
  auto* varn = b.Element(document.get(), "Varn");

  auto* memoryNode = b.Element(varn, "Memory");
  b.Attribute(memoryNode, "ID", kCoreDocumentId);
  b.Attribute(memoryNode, "Throttling", status.throttling ? "1" : "0");

  int64_t totalLoadMs = 0;
  int64_t totalOpenMs = 0;
  for (const auto& plugin : status.loaded) {
    totalLoadMs += Ms(plugin.loadTimeNs);
    totalOpenMs += Ms(plugin.openTimeNs);
  }
  auto* modules = b.Element(varn, "Modules");
  b.Attribute(modules, "TotalLoadTimeMs", totalLoadMs);
  b.Attribute(modules, "TotalOpenTimeMs", totalOpenMs);

  auto* coreModule = b.Element(modules, "Module");
  b.Attribute(coreModule, "ID", kCoreDocumentId);
  b.Attribute(coreModule, "Name", "Core");
  b.Attribute(coreModule, "Version", status.version);

  AddPlugin(b, coreModule, {INT32_MIN, status.executableName, 0, 0, 0, status.coreLogLevel});
  for (const auto& plugin : status.loaded) {
    AddPlugin(b, coreModule,
              {DocumentId(plugin.idWord), plugin.fileName, Ms(plugin.loadTimeNs),
               Ms(plugin.openTimeNs), plugin.openCode, plugin.logLevel});
  }
  if (!status.parentVersion.empty()) {
    auto* library = b.Element(coreModule, "Library");
    b.Attribute(library, "Name", "corvaned");
    b.Attribute(library, "Filename", status.parentFileName);
    b.Attribute(library, "Version", status.parentVersion);
  }
  int64_t k = 0;
  for (const auto& plugin : status.failed)
    AddPlugin(b, coreModule, {++k, plugin.fileName, 0, 0, plugin.loadCode, -1});
  k = 0;
  for (const auto& plugin : status.failed)
    AddModule(b, modules, ++k, plugin.fileName, plugin.errorText);

  if (status.httpListen) b.Attribute(b.Element(varn, "Http"), "Listen", *status.httpListen);

  auto* product = b.Element(varn, "Product");
  b.Attribute(product, "Family", status.productName);
  b.Attribute(product, "Version", status.version);

  StatusTexts texts;
  // The event: the whole document, flat, allocated once at its counted size.
  texts.event = PrintXmlText(*document, XmlPrintedSize(*document));
  // The file: without the product identity.
  varn->remove_node(product);
  PrintXml(*document, XmlMode::kIndented, texts.file);
  return texts;
}

} // namespace corvane
