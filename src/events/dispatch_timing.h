#pragma once
#include <cstdint>
#include <string_view>

#include "rk/core/event_parms.h"

// Category name of a type code, the modifier bit ignored ("video", "unknown").
const char* DispatchCategory(uint64_t type);

// A file name cut before its first '.', the whole name when it has none.
std::string_view DisplayStem(std::string_view fileName);

inline constexpr int64_t kSlowDeliveryNs = 5'000'000;
