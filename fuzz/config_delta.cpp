// A plug-in's configuration record through the delta reader, and the same bytes
// as a parsed document through the log level update. Input: one control byte
// (which header fields to spoil), then the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <vector>

#include "config/config_delta.h"
#include "log/logger.h"

using namespace corvane;

using namespace rk::core;

namespace {

// Every stored threshold stays within the range the status document shows.
void CheckLevels(const Logger& log) {
  for (uint32_t index = 0; index < 256; ++index) {
    const int32_t level = log.Stored(index);
    if (level < -1 || level > 100) std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  // Exactly the payload's bytes, so an overread shows.
  const std::vector<char> payload(data + 1, data + size);

  {
    Logger log;
    ConfigEvt record;
    record.source = (control & 1) != 0 ? kIdNone : RK_ID_WORD(3);
    record.type = (control & 2) != 0 ? RK_TYPE_ALARM : RK_TYPE_CONFIG;
    if ((control & 4) != 0)
      record.flags &= ~RK_FLAG_XML;
    else
      record.flags |= RK_FLAG_XML;
    record.length = static_cast<uint32_t>(payload.size());
    record.data = payload.empty() ? nullptr : payload.data();
    (void)IsConfigDelta(record);
    ApplyConfigDelta(record, log);
    CheckLevels(log);
  }

  // The level update alone, on whatever rapidxml makes of the bytes.
  std::vector<char> text(payload);
  text.push_back('\0');
  const auto document = std::make_unique<rapidxml::xml_document<char>>();
  try {
    document->parse<0>(text.data());
  } catch (const rapidxml::parse_error&) {
    return 0;
  }
  Logger log;
  log.ApplyLevelUpdate(*document);
  CheckLevels(log);
  return 0;
}
