#pragma once
// How the recording pieces report: a level (the core's scale: 25 info,
// 50 warning, 75 error) and one line of text. The plug-in posts log records,
// the export tool prints.
#include <cstdint>
#include <functional>
#include <string>

namespace recorder {

inline constexpr int32_t kInfo = 25;
inline constexpr int32_t kWarning = 50;
inline constexpr int32_t kError = 75;

using LogFn = std::function<void(int32_t level, const std::string& line)>;

} // namespace recorder
