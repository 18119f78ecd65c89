#pragma once
// UTC times as the recorder writes and reads them: microseconds since the
// Unix epoch, "20261208T100000Z" in file names, "2026-12-08T10:00:00Z" on
// command lines.
#include <cstdint>
#include <optional>
#include <string>

namespace recorder {

// "YYYYMMDDTHHMMSSZ" of the whole second holding `micros`.
std::string CompactUtc(int64_t micros);
// "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string IsoUtc(int64_t micros);
// Parses "YYYYMMDDTHHMMSSZ"; nullopt when it is not one.
std::optional<int64_t> ParseCompactUtc(const std::string& text);
// Parses "YYYY-MM-DDTHH:MM:SS[.fff]Z"; nullopt when it is not one.
std::optional<int64_t> ParseIsoUtc(const std::string& text);

} // namespace recorder
