#pragma once
#include <cstdint>

namespace corvane {

// 16 raw bytes from "/dev/urandom", opened afresh per call. Returns 0; a
// missing or failing device ends the process with status 74.
int CoCreateGuid(uint8_t guid[16]);
// One fresh GUID spread into a 16-byte block: g[0..7], g[6..9], g[6..9].
void NewRandomBlock(uint8_t block[16]);

} // namespace corvane
