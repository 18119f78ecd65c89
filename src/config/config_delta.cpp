// Configuration deltas: a plug-in's config record that changes log levels.
#include "config/config_delta.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

#include "log/logger.h"
#include "util/parsed_xml.h"

namespace corvane {

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

} // namespace

bool IsConfigDelta(const EventParms& record) {
  if (record.source == kIdNone || record.type != RK_TYPE_CONFIG ||
      (record.flags & RK_FLAG_XML) == 0 || record.length < 22 || record.data == nullptr)
    return false;
  return LooksLikeDelta(static_cast<const char*>(record.data), record.length);
}

bool ApplyConfigDelta(const EventParms& record, Logger& log) {
  if (!IsConfigDelta(record)) return false;
  const auto* payload = static_cast<const char*>(record.data);
  std::unique_ptr<ParsedXml> delta;
  try {
    delta = std::make_unique<ParsedXml>(std::string_view(payload, record.length));
  } catch (const rapidxml::parse_error&) {
    return false;
  }
  return log.ApplyLevelUpdate(delta->document);
}

} // namespace corvane
