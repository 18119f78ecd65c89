// Retention of recordings: oldest first by MaxBytes, anything older than
// MaxDays, file then row; a segment still being written is never touched.
#include <fstream>

#include "recording_fixture.h"
#include "retention.h"

namespace {

constexpr int64_t kDay = 86400LL * 1000000;
constexpr int64_t kNow = 1796731200000000; // 2026-12-08T10:00:00Z

class Retention : public RecordingRoot {
protected:
  // A segment file of `bytes` bytes with its row.
  void Add(const std::string& relative, int64_t start, uint64_t bytes, bool complete = true) {
    fs::create_directories((root / relative).parent_path());
    std::ofstream(root / relative, std::ios::binary) << std::string(bytes, 'x');
    AddRow(relative, start, bytes, complete);
  }
  std::vector<std::string> Left() {
    std::vector<std::string> paths;
    for (const auto& row : catalogue->AllSegments()) {
      EXPECT_TRUE(fs::exists(root / row.path)) << row.path;
      paths.push_back(row.path);
    }
    return paths;
  }
  size_t Apply(uint64_t maxBytes, uint32_t maxDays) {
    recorder::RecorderConfig config;
    config.maxBytes = maxBytes;
    config.maxDays = maxDays;
    return recorder::ApplyRetention(*catalogue, root.string(), config, kNow,
                                    [](int32_t, const std::string&) {});
  }
};

} // namespace

TEST_F(Retention, MaxBytesRemovesTheOldestFirstButNeverTheOpenSegment) {
  Add("1-a/3.mp4", kNow - 3000000, 400);
  Add("1-a/1.mp4", kNow - 5000000, 300, false); // being written, and oldest
  Add("2-b/2.mp4", kNow - 4000000, 500);
  Add("1-a/4.mp4", kNow - 2000000, 200);
  EXPECT_EQ(Apply(700, 0), 2u); // 1400 bytes: 2.mp4, then 3.mp4, go
  EXPECT_EQ(Left(), (std::vector<std::string>{"1-a/1.mp4", "1-a/4.mp4"}));
  EXPECT_FALSE(fs::exists(root / "2-b/2.mp4"));
  EXPECT_EQ(Apply(700, 0), 0u);
  EXPECT_EQ(Apply(0, 0), 0u); // no limits
}

TEST_F(Retention, MaxDaysRemovesWhatEndedTooLongAgo) {
  Add("1-a/old.mp4", kNow - 3 * kDay, 100);
  Add("1-a/edge.mp4", kNow - 2 * kDay + kDay / 2, 100);
  Add("1-a/new.mp4", kNow - kDay / 2, 100);
  EXPECT_EQ(Apply(0, 2), 1u);
  EXPECT_EQ(Left(), (std::vector<std::string>{"1-a/edge.mp4", "1-a/new.mp4"}));
}
