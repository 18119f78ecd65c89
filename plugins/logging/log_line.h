#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace ruzuz {

// Records longer than this are cut, so one runaway record cannot push the
// whole history out of the rotated files.
inline constexpr size_t kMaxRecordText = 64 * 1024;

// One log record as text:
//   "2026-01-03 14:03:07.042 Warning 00 text"
// local time to the millisecond, level (its name, or name/number for values
// between the named ones), source index in two hex digits, and the text with
// trailing CR, LF and NUL removed. Embedded line breaks continue on indented
// lines; other control bytes are written as \xNN so a record cannot forge
// lines of its own. Empty when no text is left.
std::string FormatLogLine(int64_t unixMs, int32_t level, uint32_t sourceIndex,
                          std::string_view text);

} // namespace ruzuz
