#pragma once
#include <cstdint>
#include <string>

namespace corvane {

// Byte counts for people: grouped digits up to 102399, then binary units
// rounded up to two decimals ("100KiB", "1.5GiB", "-100MiB").
std::string FormatSize(int64_t bytes);

} // namespace corvane
