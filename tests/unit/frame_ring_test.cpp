// The recorder sample's ring of segment files: bounded, ordered, and safe to
// read while the writer reuses old segments.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "recorder/frame_ring.h"

namespace fs = std::filesystem;
using recorder::FrameRing;

namespace {

class FrameRingTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "frame-ring-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::vector<unsigned char> Frame(uint64_t timeMs, size_t length = 100) {
    return std::vector<unsigned char>(length, static_cast<unsigned char>(timeMs & 0xFF));
  }
  fs::path root_;
};

} // namespace

TEST_F(FrameRingTest, KeepsOnlyTheNewestSegmentsOldestFirst) {
  FrameRing ring((root_ / "rec").string(), 2, 1000);
  std::string error;
  ASSERT_TRUE(ring.Open(error)) << error;
  // Three seconds of 10 frames per second: three segments' worth into two.
  for (uint64_t t = 10000; t < 13000; t += 100) {
    const auto frame = Frame(t);
    ASSERT_TRUE(ring.Append(t, t % 1000 == 0 ? 1 : 2, frame.data(), 100));
  }
  const auto all = ring.Find(0, UINT64_MAX, 1000);
  ASSERT_EQ(all.size(), 20u);
  EXPECT_EQ(all.front().timeMs, 11000u); // the first second was overwritten
  EXPECT_EQ(all.back().timeMs, 12900u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].timeMs, all[i].timeMs);
  EXPECT_EQ(all.front().frameType, 1);

  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(root_ / "rec")) {
    ++files;
    EXPECT_LE(fs::file_size(entry.path()), 10u * (24 + 100)); // one second per file
  }
  EXPECT_EQ(files, 2u);

  const auto window = ring.Find(11500, 12000, 1000);
  ASSERT_EQ(window.size(), 6u); // both ends included
  EXPECT_EQ(ring.Find(11500, 12000, 4).size(), 4u);

  std::vector<unsigned char> bytes;
  ASSERT_TRUE(ring.Read(window[0], bytes));
  EXPECT_EQ(bytes, Frame(11500));
}

TEST_F(FrameRingTest, ReadRefusesAFrameWhoseSegmentWasReused) {
  FrameRing ring((root_ / "rec").string(), 2, 1000);
  std::string error;
  ASSERT_TRUE(ring.Open(error)) << error;
  const auto first = Frame(1000);
  ASSERT_TRUE(ring.Append(1000, 1, first.data(), 100));
  const auto found = ring.Find(1000, 1000, 10);
  ASSERT_EQ(found.size(), 1u);
  // Two newer segments: the one holding the found frame is emptied and refilled.
  for (uint64_t t : {2000, 3000}) {
    const auto frame = Frame(t, 300);
    ASSERT_TRUE(ring.Append(t, 1, frame.data(), 300));
  }
  std::vector<unsigned char> bytes;
  EXPECT_FALSE(ring.Read(found[0], bytes));
  EXPECT_TRUE(ring.Find(1000, 1000, 10).empty());
}

TEST_F(FrameRingTest, AClockGoingBackStartsANewSegment) {
  FrameRing ring((root_ / "rec").string(), 3, 1000);
  std::string error;
  ASSERT_TRUE(ring.Open(error)) << error;
  for (uint64_t t : {5000, 5100, 2000, 2100}) {
    const auto frame = Frame(t);
    ASSERT_TRUE(ring.Append(t, 2, frame.data(), 100));
  }
  const auto all = ring.Find(0, UINT64_MAX, 10);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].timeMs, 5000u); // in the order written
  EXPECT_EQ(all[2].timeMs, 2000u);
  EXPECT_NE(all[0].segment, all[2].segment);
}

TEST_F(FrameRingTest, OpenFailsWhereNoDirectoryCanBeMade) {
  const fs::path blocker = root_ / "file";
  {
    std::FILE* f = std::fopen(blocker.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  FrameRing ring((blocker / "rec").string(), 2, 1000);
  std::string error;
  EXPECT_FALSE(ring.Open(error));
  EXPECT_NE(error.find("rec"), std::string::npos) << error;
  const auto frame = Frame(1);
  EXPECT_FALSE(ring.Append(1, 1, frame.data(), 100));
}
