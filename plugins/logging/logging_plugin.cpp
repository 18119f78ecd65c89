// The logging plug-in: writes every live log record it is given to
// logs/core.log under the core's working directory, rotating by size.
//
// It is called from the dispatch thread and, while the core stops, directly
// from whichever thread logs, several at once; all file work goes through
// RotatingLogFile, which serialises one record's write at a time. Lines the
// core prints on its console (flag 0x2) are printed by the core, not here.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <unistd.h>

#include "log_line.h"
#include "rk/core/sdk.h"
#include "rotating_log_file.h"

// Test builds shrink these to exercise rotation.
#ifndef RUZUZ_MAX_FILE_BYTES
#define RUZUZ_MAX_FILE_BYTES (4ULL * 1024 * 1024)
#endif
#ifndef RUZUZ_FILE_COUNT
#define RUZUZ_FILE_COUNT 4
#endif

using namespace rk::core;

namespace {

constexpr uint64_t kMaxFileBytes = RUZUZ_MAX_FILE_BYTES;
constexpr unsigned kFileCount = RUZUZ_FILE_COUNT;
constexpr const char* kDirectory = "logs";
constexpr const char* kFileName = "core.log";

ruzuz::RotatingLogFile g_file(kMaxFileBytes, kFileCount);
PostEventFn g_post = nullptr; // set by Load, before any other call

// Tells the operator on the core's console. The core does not route a record
// from no id back to a plug-in without an id, so this cannot loop into OnEvent.
void Warn(const std::string& text) {
  if (g_post == nullptr) return;
  LogEvt e;
  e.flags |= RK_FLAG_CONSOLE;
  e.source = kIdNone;
  e.level = 50;
  e.data = text.data();
  e.length = static_cast<uint32_t>(text.size());
  g_post(&e);
}

// Absolute, so that a plug-in changing the working directory later does not
// scatter the log.
std::string LogDirectory() {
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return kDirectory;
  return std::string(cwd) + "/" + kDirectory;
}

} // namespace

RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  g_post = params->postEvent;
  // Id 01: a plug-in of its own, so that the core's own lines (source
  // "none") reach it; index 1 is also the one whose threshold no
  // configuration can change.
  info->pluginId = RK_ID_WORD(0x01);
  info->acceptLog = RK_ACCEPT_LIVE;
  return 0;
}

RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams*, UnloadResult*) {
  g_file.Close();
  return 0;
}

RK_PLUGIN_EXPORT int32_t Open(const OpenParams*, OpenResult*) {
  try {
    const std::string directory = LogDirectory();
    if (!g_file.Open(directory, kFileName)) {
      const int error = errno;
      Warn("RuzUZ: cannot open " + directory + "/" + kFileName + ": " + std::strerror(error));
    }
  } catch (...) {
    // Out of memory: run without a log file rather than fail the core.
  }
  return 0;
}

RK_PLUGIN_EXPORT int32_t Close(const CloseParams*, CloseResult*) {
  g_file.Close();
  return 0;
}

RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms*) {
  if (e == nullptr || BaseType(*e) != RK_TYPE_LOG || IsStored(*e)) return 0;
  if (e->data == nullptr || e->length == 0) return 0;
  // The level field means something only on a plain log record; the core
  // treats one with the modifier bit as level 0, and so do we.
  const int32_t level =
      e->type == RK_TYPE_LOG ? static_cast<int32_t>(static_cast<uint32_t>(e->level)) : 0;
  try {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const std::string line =
        ruzuz::FormatLogLine(now, level, SourceIndex(e->source),
                             std::string_view(static_cast<const char*>(e->data), e->length));
    if (!line.empty()) g_file.Append(line);
  } catch (...) {
    // Nothing may escape into the core; the record is lost.
  }
  return 0;
}
