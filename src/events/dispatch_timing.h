#pragma once
#include <cstdint>

namespace corvane {

// Category name of a type code, the modifier bit ignored ("video", "unknown").
const char* DispatchCategory(uint64_t type);

// A delivery slower than this is reported (at Debug, core threshold 0 only).
inline constexpr int64_t kSlowDeliveryNs = 5'000'000;

} // namespace corvane
