#pragma once
// Reference blocks: the one shared, counted copy of a queued payload. A block
// is a 16-byte header (u64 block size, u32 count) followed by the payload;
// records carry the payload address, the header sits just before it.
#include <array>
#include <atomic>
#include <cstdint>

namespace corvane {

// Process-wide accounting; every field is an atomic updated lock-free.
struct RefAccounting {
  std::atomic<uint32_t> liveBlocks{0};
  std::atomic<uint64_t> liveBytes{0};
  // Index 0: references held by the queue; n: by the plug-in with id n.
  std::array<std::atomic<uint64_t>, 256> held{};
};
RefAccounting& RefCounts();

inline constexpr uint64_t kRefBlockHeader = 16;

// Allocates a block with count 0 and copies the payload; null when the heap
// refuses (the caller then queues the record without payload).
void* NewRefBlock(const void* data, uint32_t length);
// Frees a block that never got a reference (a record that was not queued).
void DiscardRefBlock(void* payload);
// Takes one reference on behalf of a source index.
void AddRef(const void* payload, uint32_t index);
// Gives one back; true when that was the last and the block is freed.
bool DropRef(const void* payload, uint32_t index);

} // namespace corvane
