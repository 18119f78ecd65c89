// Configuration deltas: a plug-in's config record that changes log levels.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <string_view>
#include <vector>

#include "core/dvr_core.h"

using namespace rk::core;

namespace {

constexpr std::string_view kDeltaMark = "Delta=\"1\"";
constexpr std::string_view kModulesTag = "<Modules";

// Cheap shape test before parsing: the Delta mark within bytes 13..112 and
// "<Modules" starting within the first 33 bytes.
bool LooksLikeDelta(const char* payload, uint32_t length) {
  const std::string_view markWindow(payload + 13, std::min<uint32_t>(length, 113) - 13);
  if (markWindow.find(kDeltaMark) == std::string_view::npos) return false;
  const std::string_view tagWindow(payload, std::min<uint32_t>(length, 40));
  return tagWindow.find(kModulesTag) != std::string_view::npos;
}

// The thresholds the status document shows: the core's, then each loaded
// plug-in's.
std::vector<int32_t> ShownLevels(const DvrCore& core) {
  std::vector<int32_t> levels{core.log.Stored(0)};
  for (const auto& plugin : core.plugins.loaded) levels.push_back(core.log.Stored(plugin->Id()));
  return levels;
}

} // namespace

void DvrCore::OnConfigDelta(const EventParms& record) {
  if (Stopping() || record.source == kIdNone || record.type != RK_TYPE_CONFIG ||
      (record.flags & RK_FLAG_XML) == 0 || record.length < 22 || record.data == nullptr)
    return;
  const auto* payload = static_cast<const char*>(record.data);
  if (!LooksLikeDelta(payload, record.length)) return;

  std::vector<char> text(payload, payload + record.length);
  text.push_back('\0');
  const auto document = std::make_unique<rapidxml::xml_document<char>>();
  try {
    document->parse<0>(text.data());
  } catch (const rapidxml::parse_error&) {
    return;
  }
  // Republish only when a level the document shows has changed: a delta for
  // an index no entry shows still sets that index's threshold.
  const auto before = ShownLevels(*this);
  if (log.ApplyLevelUpdate(*document) && ShownLevels(*this) != before) PublishStatus();
}
