#include "events/reference_block.h"

#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

struct BlockHeader {
  uint64_t size;               // payload length + header
  std::atomic<uint32_t> count; // references held
  uint32_t unused;
};
static_assert(sizeof(BlockHeader) == kRefBlockHeader);

BlockHeader* HeaderOf(const void* payload) {
  return reinterpret_cast<BlockHeader*>(
      const_cast<uint8_t*>(static_cast<const uint8_t*>(payload) - kRefBlockHeader));
}

void FreeBlock(BlockHeader* header) {
  RefAccounting& refs = RefCounts();
  refs.liveBlocks.fetch_sub(1, std::memory_order_relaxed);
  refs.liveBytes.fetch_sub(header->size, std::memory_order_relaxed);
  header->~BlockHeader();
  std::free(header);
}

} // namespace

RefAccounting& RefCounts() {
  static RefAccounting accounting;
  return accounting;
}

void* NewRefBlock(const void* data, uint32_t length) {
  const uint64_t size = uint64_t{length} + kRefBlockHeader;
  void* raw = std::malloc(size);
  if (raw == nullptr) return nullptr;
  auto* header = new (raw) BlockHeader{size, {0}, 0};
  RefAccounting& refs = RefCounts();
  refs.liveBlocks.fetch_add(1, std::memory_order_relaxed);
  refs.liveBytes.fetch_add(size, std::memory_order_relaxed);
  uint8_t* payload = static_cast<uint8_t*>(raw) + kRefBlockHeader;
  std::memcpy(payload, data, length);
  (void)header;
  return payload;
}

void DiscardRefBlock(void* payload) {
  if (payload != nullptr) FreeBlock(HeaderOf(payload));
}

void AddRef(const void* payload, uint32_t index) {
  HeaderOf(payload)->count.fetch_add(1, std::memory_order_relaxed);
  RefCounts().held[index & 0xFF].fetch_add(1, std::memory_order_relaxed);
}

bool DropRef(const void* payload, uint32_t index) {
  RefCounts().held[index & 0xFF].fetch_sub(1, std::memory_order_relaxed);
  BlockHeader* header = HeaderOf(payload);
  if (header->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return false;
  FreeBlock(header);
  return true;
}

} // namespace corvane
