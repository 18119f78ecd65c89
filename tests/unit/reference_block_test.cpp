// Reference blocks: one copy of a payload, counted per holder, freed with
// the last reference and accounted while it lives.
#include "events/reference_block.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace corvane;

TEST(ReferenceBlock, CopiesCountsPerHolderAndFreesWithTheLastReference) {
  RefAccounting& refs = RefCounts();
  const uint32_t blocksBefore = refs.liveBlocks.load();
  const uint64_t bytesBefore = refs.liveBytes.load();
  const uint64_t queueBefore = refs.held[0].load();
  const uint64_t pluginBefore = refs.held[7].load();

  char text[] = "payload";
  void* block = NewRefBlock(text, sizeof text);
  ASSERT_NE(block, nullptr);
  text[0] = 'X'; // the block is a copy
  EXPECT_EQ(std::memcmp(block, "payload", sizeof text), 0);
  EXPECT_EQ(refs.liveBlocks.load(), blocksBefore + 1);
  EXPECT_EQ(refs.liveBytes.load(), bytesBefore + sizeof text + kRefBlockHeader);

  AddRef(block, 0);
  AddRef(block, 7);
  AddRef(block, 7 + 256); // the index is a source index: only its low byte counts
  EXPECT_EQ(refs.held[7].load(), pluginBefore + 2);
  EXPECT_FALSE(DropRef(block, 7));
  EXPECT_FALSE(DropRef(block, 7));
  EXPECT_EQ(refs.held[7].load(), pluginBefore);
  EXPECT_TRUE(DropRef(block, 0)); // the last one frees
  EXPECT_EQ(refs.held[0].load(), queueBefore);
  EXPECT_EQ(refs.liveBlocks.load(), blocksBefore);
  EXPECT_EQ(refs.liveBytes.load(), bytesBefore);

  void* unused = NewRefBlock(text, 1);
  DiscardRefBlock(unused); // never referenced: freed at once
  DiscardRefBlock(nullptr);
  EXPECT_EQ(refs.liveBlocks.load(), blocksBefore);
}
