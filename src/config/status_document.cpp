// The status document: published as a configuration event (with "Product")
// and stored as "core.xml" (without it), the next start's configuration.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <rapidxml/rapidxml.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

#include "config/file_store.h"
#include "config/xml_writer.h"
#include "core/dvr_core.h"
#include "log/core_log.h"

using namespace rk::core;

namespace {

constexpr const char* kCoreId = "-2147483648";

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

// A plug-in's id word as written: -2147483648 for the core, else bits 16-23.
int64_t DocumentId(uint64_t idWord) {
  return idWord == kIdNone ? INT32_MIN : static_cast<int64_t>(idWord & 0xFF0000u);
}

std::string_view CutAtDot(std::string_view name) {
  return name.substr(0, name.find('.'));
}

struct PluginEntry {
  int64_t id;
  std::string_view fileName;
  int64_t loadMs, openMs, code;
  int32_t level;
};

void AddPlugin(DocumentBuilder& b, rapidxml::xml_node<char>* module, const PluginEntry& entry) {
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
  b.Attribute(node, "Name", CutAtDot(name));
  b.Attribute(node, "Version", version);
}

} // namespace

void DvrCore::PublishStatus() {
  // The document object carries its 64 KiB pool; keep it off the stack.
  const auto document = std::make_unique<rapidxml::xml_document<char>>();
  DocumentBuilder b(*document);
  document->append_node(document->allocate_node(rapidxml::node_declaration));
  auto* varn = b.Element(document.get(), "Varn");

  auto* memoryNode = b.Element(varn, "Memory");
  b.Attribute(memoryNode, "ID", kCoreId);
  b.Attribute(memoryNode, "Throttling", memory.ThrottlingEnabled() ? "1" : "0");

  int64_t totalLoadMs = 0;
  int64_t totalOpenMs = 0;
  for (const auto& plugin : plugins.loaded) {
    totalLoadMs += Ms(plugin->loadTimeNs);
    totalOpenMs += Ms(plugin->openTimeNs);
  }
  auto* modules = b.Element(varn, "Modules");
  b.Attribute(modules, "TotalLoadTimeMs", totalLoadMs);
  b.Attribute(modules, "TotalOpenTimeMs", totalOpenMs);

  auto* coreModule = b.Element(modules, "Module");
  b.Attribute(coreModule, "ID", kCoreId);
  b.Attribute(coreModule, "Name", CutAtDot("Core"));
  b.Attribute(coreModule, "Version", version);

  const std::string executableName = std::filesystem::path(executablePath).filename().string();
  AddPlugin(b, coreModule, {INT32_MIN, executableName, 0, 0, 0, log.Stored(0)});
  for (const auto& plugin : plugins.loaded) {
    AddPlugin(b, coreModule,
              {DocumentId(plugin->IdWord()), plugin->fileName, Ms(plugin->loadTimeNs),
               Ms(plugin->openTimeNs), plugin->openCode, log.Stored(plugin->Id())});
  }
  const auto [parentFile, parentVersion] = ipc.ParentTexts();
  if (!parentVersion.empty()) {
    auto* library = b.Element(coreModule, "Library");
    b.Attribute(library, "Name", "corvaned");
    b.Attribute(library, "Filename", parentFile);
    b.Attribute(library, "Version", parentVersion);
  }
  int64_t k = 0;
  for (const auto& plugin : plugins.failed)
    AddPlugin(b, coreModule, {++k, plugin->fileName, 0, 0, plugin->loadCode, -1});
  k = 0;
  for (const auto& plugin : plugins.failed)
    AddModule(b, modules, ++k, plugin->DisplayStem(), plugin->errorText);

  auto* product = b.Element(varn, "Product");
  b.Attribute(product, "Family", productName);
  b.Attribute(product, "Version", version);

  // The event: the whole document, flat, allocated once at its counted size.
  const std::string eventText = PrintXmlText(*document, XmlPrintedSize(*document));
  EventParms event;
  InitEvent(event);
  event.type = RK_TYPE_CONFIG;
  event.flags = kLive | RK_FLAG_XML;
  event.source = kIdNone;
  event.length = static_cast<uint32_t>(eventText.size());
  event.data = eventText.data();
  (void)queueEvent(event);

  // The file: without the product identity, written while posters wait.
  varn->remove_node(product);
  try {
    std::lock_guard lock(queue.Mutex());
    std::string fileText;
    PrintXml(*document, XmlMode::kIndented, fileText);
    WriteXmlFile("core.xml", fileText.data(), fileText.size());
  } catch (const std::runtime_error& error) {
    // Logged after the lock is gone: a log line is queued through that mutex.
    LogError("{}", error.what());
  }
}
