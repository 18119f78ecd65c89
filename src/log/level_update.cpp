// Log thresholds from a status-shaped document ("core.xml" or a delta).
#include <charconv>
#include <cstdint>
#include <optional>
#include <rapidxml/rapidxml.hpp>

#include "log/logger.h"
#include "util/xml_path.h"

namespace corvane {

namespace {

// Optional '-', then digits; what follows is ignored. Empty when no digit
// can be read or the value does not fit in 32 signed bits.
std::optional<int32_t> ParseInt32(const char* text, size_t length) {
  const char* end = text + length;
  const char* p = text;
  bool negative = false;
  if (p < end && *p == '-') {
    negative = true;
    ++p;
  }
  if (p == end || *p < '0' || *p > '9') return std::nullopt;
  int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

} // namespace

bool Logger::ApplyLevelUpdate(const rapidxml::xml_document<char>& document) {
  bool changed = false;
  for (auto* module = FindPath(&document, "Varn/Modules/Module"); module != nullptr;
       module = NextNamed(module)) {
    for (auto* plugin = module->first_node("Plugin"); plugin != nullptr;
         plugin = plugin->next_sibling("Plugin")) {
      const auto* idAttr = plugin->first_attribute("ID");
      const auto* levelAttr = plugin->first_attribute("LogLevel");
      if (idAttr == nullptr || levelAttr == nullptr) continue;
      const auto id = ParseInt32(idAttr->value(), idAttr->value_size());
      if (!id) continue;
      uint32_t index = 0;
      if (*id != INT32_MIN) {
        index = (static_cast<uint32_t>(*id) >> 16) & 0xFF;
        if (index <= 1) continue;
      }
      const auto level = ParseInt32(levelAttr->value(), levelAttr->value_size());
      if (!level) continue;
      // Compared after clamping: 250 over a stored 100 is no change, so the
      // same delta never republishes.
      const int32_t clamped = *level < -1 ? -1 : (*level > 100 ? 100 : *level);
      if (clamped == Stored(index)) continue;
      SetStored(index, clamped);
      changed = true;
    }
  }
  return changed;
}

} // namespace corvane
