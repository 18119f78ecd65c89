#pragma once
// The status document: published as a configuration event (with "Product")
// and stored as "core.xml" (without it), the next start's configuration.
// Built from a plain description of the core, so this module needs no other.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct StatusDocument {
  struct PluginEntry {
    uint64_t idWord; // the plug-in's id word
    std::string fileName;
    int64_t loadTimeNs;
    int64_t openTimeNs;
    int32_t openCode;
    int32_t logLevel; // stored threshold
  };
  struct FailedEntry {
    std::string fileName;
    int32_t loadCode;
    std::string errorText;
  };

  bool throttling = true;
  std::string version;
  std::string productName;
  std::string executableName; // the core's file name
  int32_t coreLogLevel = -1;  // stored threshold of the core
  std::vector<PluginEntry> loaded;
  std::vector<FailedEntry> failed;
  std::string parentFileName; // from the parent's identity; empty version: none
  std::string parentVersion;
  std::optional<std::string> httpListen; // kept as read; none: no "Http" element
};

struct StatusTexts {
  std::string event; // flat, with the product identity
  std::string file;  // indented, without it
};

StatusTexts PrintStatusDocument(const StatusDocument& status);

} // namespace corvane
