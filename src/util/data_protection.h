#pragma once
#include <cstdint>
#include <string>

#include "rk/core/event_parms.h"

// A crypto control record: protects or unprotects its buffer in place with a
// key bound to the host identifier. Runs on the poster's thread; returns the
// post result (0 done, 0xFFFFFFFF/0xFFFFFFFE/0xFFFFFFF3, or bytes needed).
uint32_t CryptoRequest(rk::core::EventParms& record, const std::string& hostId);
