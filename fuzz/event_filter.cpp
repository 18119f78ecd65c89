// The event entry's classification and accept filter on arbitrary records:
// 224 bytes of record, then the 112-byte plug-in information it is judged for.
#include <algorithm>
#include <any>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "events/accept_filter.h"
#include "events/event_class.h"

using namespace rk::core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(EventParms)) return 0;
  EventParms record;
  std::memcpy(&record, data, sizeof record);
  PluginInfo info{};
  std::memcpy(&info, data + sizeof record, std::min(size - sizeof record, sizeof info));

  // Control records and unknown types have no class.
  const bool known = ClassOf(record).has_value();
  if (known &&
      (BaseType(record) & (RK_TYPE_DECREF | RK_TYPE_CANCEL | RK_TYPE_IPC | RK_TYPE_CRYPTO)))
    std::abort();
  const bool taken = Accepts(info, record);
  // A stored record goes to the plug-in it is addressed to, and nowhere else.
  if ((record.flags & RK_FLAG_STORED) != 0 && taken &&
      ((record.request ^ info.pluginId) & 0xFF0000u) != 0) {
    std::abort();
  }
  return 0;
}
