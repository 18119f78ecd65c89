#pragma once
#include <cstdint>
#include <string>

#include "rk/core/event_parms.h"

namespace corvane {

// A crypto control record: protects or unprotects its buffer in place with a
// key bound to the host identifier. Runs on the poster's thread with no
// shared state; returns the post result (RK_POST_OK, one of the RK_CRYPTO_*
// codes, or the bytes the buffer needs).
//
// Record use: `length` is the buffer's capacity, `data` the buffer, the low
// 24 bits of `flags` the operation (2 protect, 1024 unprotect), `level` the
// number of valid bytes.
uint32_t CryptoRequest(rk::core::EventParms& record, const std::string& hostId);

} // namespace corvane
