// The accept filter on arbitrary records: 224 bytes of record, then the
// 112-byte plug-in information it is judged for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "events/accept_filter.h"

using namespace corvane;

using namespace rk::core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(EventParms)) return 0;
  EventParms record;
  std::memcpy(&record, data, sizeof record);
  PluginInfo info{};
  std::memcpy(&info, data + sizeof record, std::min(size - sizeof record, sizeof info));

  const bool taken = Accepts(info, record);
  // Control records are answered by the entry; the filter never takes a live one.
  const uint64_t base = BaseType(record);
  if (taken && !IsStored(record) &&
      (base == RK_TYPE_DECREF || base == RK_TYPE_CANCEL || base == RK_TYPE_IPC ||
       base == RK_TYPE_CRYPTO))
    std::abort();
  // A stored record goes to the plug-in it is addressed to, and nowhere else.
  if ((record.flags & RK_FLAG_STORED) != 0 && taken &&
      ((record.request ^ info.pluginId) & 0xFF0000u) != 0) {
    std::abort();
  }
  return 0;
}
