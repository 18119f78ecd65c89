#pragma once
// What the plug-in reads from the core's status document (the configuration
// event the core publishes when all plug-ins are open and after each change).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mqtt {

struct PluginEntry {
  std::optional<uint32_t> id; // one-byte plug-in id; none for id-less and failed plug-ins
  std::string file;           // file name, e.g. "camera.so"
  bool opened = false;        // open code 0
  std::string error;          // failed plug-ins: the loader's reason
};

struct StatusDocument {
  std::string version;                   // the product version
  std::vector<PluginEntry> plugins;      // loaded, then failed, in the core's order
  std::map<uint32_t, std::string> stems; // plug-in id -> file stem
  std::string coreStem;                  // the core's executable name
};

// Parses the status document text; nothing for a delta or anything else.
std::optional<StatusDocument> ParseStatusDocument(std::string text);

// A file name up to its first '.': "camera.so" -> "camera".
std::string FileStem(const std::string& file);

} // namespace mqtt
