#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// What the tap shows of one routed record: a summary, never the payload.
// Filled by the dispatch loop, only while somebody taps.
struct TapRecord {
  int64_t unixMicros = 0; // when it was routed
  uint64_t type = 0;      // type code, modifier bit included
  uint64_t flags = 0;     // class and per-type bits
  uint64_t source = 0;    // sender's id word
  uint64_t request = 0;   // search id / addressee
  uint32_t length = 0;    // payload bytes
  std::string sourceName; // the sender's plug-in name; empty: unknown or the core
};

// One plug-in that received the record.
struct TapReceiver {
  uint32_t index = 0; // plug-in id, bits 16-23 of its id word
  std::string name;
};

// "video", "alarm+mod", "0x800" for an unnamed code.
std::string TapTypeName(uint64_t type);
// The type code for a name TapTypeName gives (modifier not included), or a
// number (decimal or 0x-hex); false when neither.
bool TapTypeCode(std::string_view name, uint64_t& code);

// The line a tap client gets, without the newline:
// "12:00:01.234 alarm live 74:cpp_base len=123 -> 01:RuzUZ 03:camera".
std::string FormatTapLine(const TapRecord& record, const std::vector<TapReceiver>& receivers);

} // namespace corvane
