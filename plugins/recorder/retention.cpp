#include "retention.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace recorder {

size_t ApplyRetention(Catalogue& catalogue, const std::string& root, const RecorderConfig& config,
                      int64_t nowMicros, const LogFn& log) {
  if (config.maxBytes == 0 && config.maxDays == 0) return 0;
  uint64_t total = catalogue.TotalBytes();
  const int64_t oldest = nowMicros - static_cast<int64_t>(config.maxDays) * 86400 * 1000000;
  size_t removed = 0;
  int64_t afterStart = INT64_MIN, afterId = 0;
  for (;;) {
    const auto rows = catalogue.OldestComplete(afterStart, afterId, 64);
    if (rows.empty()) return removed;
    for (const SegmentRow& row : rows) {
      afterStart = row.startMicros;
      afterId = row.id;
      const bool tooOld = config.maxDays != 0 && row.endMicros < oldest;
      const bool tooMuch = config.maxBytes != 0 && total > config.maxBytes;
      // Oldest first: once a segment is young enough and the total fits, so are the rest.
      if (!tooOld && !tooMuch) return removed;
      const std::string full = root + "/" + row.path;
      if (::unlink(full.c_str()) != 0 && errno != ENOENT) {
        log(kError, "recorder: cannot remove " + full + ": " + std::strerror(errno));
        continue;
      }
      if (!catalogue.RemoveSegment(row.id)) {
        log(kError, "recorder: removed " + row.path + " but not its row: " + catalogue.error());
        continue;
      }
      total -= std::min(total, row.bytes);
      ++removed;
      log(kInfo, "recorder: removed " + row.path + " (" + std::to_string(row.bytes) + " bytes, " +
                     (tooOld ? "older than MaxDays" : "over MaxBytes") + ")");
    }
  }
}

} // namespace recorder
