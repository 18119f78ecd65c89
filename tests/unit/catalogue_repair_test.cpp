// Start-up repair of the recorder's catalogue: a crash's open segment is cut
// back and completed, a stray file adopted, a row without its file dropped,
// each logged once; a second pass finds nothing to do.
#include <fstream>

#include "catalogue_repair.h"
#include "recording_fixture.h"

using recorder::SegmentRow;

namespace {

constexpr int64_t kStart = 1796731200000000; // 2026-12-08T10:00:00Z

class CatalogueRepair : public RecordingRoot {
protected:
  std::vector<std::string> Repair() {
    std::vector<std::string> lines;
    recorder::RepairCatalogue(*catalogue, root.string(),
                              [&](int32_t, const std::string& line) { lines.push_back(line); });
    return lines;
  }
  const SegmentRow* Row(const std::vector<SegmentRow>& rows, const std::string& path) {
    for (const SegmentRow& row : rows)
      if (row.path == path) return &row;
    return nullptr;
  }
};

} // namespace

TEST_F(CatalogueRepair, CompletesAdoptsAndDropsOnceEach) {
  // Complete and in the catalogue: left alone.
  WriteSegment("1-gate/20261208T100000Z.mp4", kStart, 20);
  AddRow("1-gate/20261208T100000Z.mp4", kStart, fs::file_size(root / "1-gate/20261208T100000Z.mp4"),
         true);
  // Open when the process died, 25 frames written (the last GOP never
  // reached the file) and half a fragment after them.
  WriteSegment("1-gate/20261208T100002Z.mp4", kStart + 2000000, 25, false);
  {
    std::ofstream tail(root / "1-gate/20261208T100002Z.mp4", std::ios::binary | std::ios::app);
    const char box[] = {0, 0, 0x20, 0, 'm', 'o', 'o', 'f', 1, 2, 3};
    tail.write(box, sizeof box);
  }
  const uint64_t crashed = fs::file_size(root / "1-gate/20261208T100002Z.mp4");
  const int64_t open = AddRow("1-gate/20261208T100002Z.mp4", kStart + 2000000, 0, false);
  // No row: adopted under the camera and name of its directory.
  WriteSegment("2-yard/20261208T100001Z.mp4", kStart + 1000000, 10);
  // No file: dropped.
  AddRow("1-gate/20261208T095900Z.mp4", kStart - 60000000, 5000, true);

  const auto lines = Repair();
  ASSERT_EQ(lines.size(), 3u);
  const auto rows = catalogue->AllSegments();
  ASSERT_EQ(rows.size(), 3u);

  const SegmentRow* completed = Row(rows, "1-gate/20261208T100002Z.mp4");
  ASSERT_NE(completed, nullptr);
  EXPECT_EQ(completed->id, open);
  EXPECT_TRUE(completed->complete);
  EXPECT_EQ(completed->frames, 20u); // the two fragments that were closed
  EXPECT_EQ(completed->endMicros, kStart + 2000000 + 19 * 100000);
  EXPECT_EQ(completed->bytes, fs::file_size(root / completed->path));
  EXPECT_EQ(completed->bytes, crashed - 11); // the half fragment is cut off

  const SegmentRow* adopted = Row(rows, "2-yard/20261208T100001Z.mp4");
  ASSERT_NE(adopted, nullptr);
  EXPECT_EQ(adopted->camera, 2u);
  EXPECT_EQ(adopted->name, "yard");
  EXPECT_EQ(adopted->startMicros, kStart + 1000000);
  EXPECT_EQ(adopted->endMicros, kStart + 1900000);
  EXPECT_EQ(adopted->frames, 10u);
  EXPECT_TRUE(adopted->complete);

  EXPECT_EQ(Row(rows, "1-gate/20261208T095900Z.mp4"), nullptr);
  EXPECT_TRUE(Repair().empty());
}

TEST_F(CatalogueRepair, AnOpenSegmentWithNoCompleteFragmentGoesWithItsRow) {
  WriteSegment("1-gate/20261208T100000Z.mp4", kStart, 5, false);
  AddRow("1-gate/20261208T100000Z.mp4", kStart, 0, false);
  EXPECT_EQ(Repair().size(), 1u);
  EXPECT_TRUE(catalogue->AllSegments().empty());
  EXPECT_FALSE(fs::exists(root / "1-gate/20261208T100000Z.mp4"));
}

TEST_F(CatalogueRepair, AFullDiskIsToldApartFromOtherWriteErrors) {
  recorder::StreamParams params{RK_CODEC_H264, 160, 120, {}};
  params.parameterSets = recorder::ParameterSets(reinterpret_cast<const uint8_t*>(units[0].data()),
                                                 units[0].size(), RK_CODEC_H264);
  std::string error;
  bool full = false;
  EXPECT_EQ(recorder::SegmentWriter::Create("/dev/full", params, kStart,
                                            recorder::SegmentWriter::Layout::Fragmented, error,
                                            full),
            nullptr);
  EXPECT_TRUE(full) << error;
  EXPECT_EQ(recorder::SegmentWriter::Create((root / "missing/x.mp4").string(), params, kStart,
                                            recorder::SegmentWriter::Layout::Fragmented, error,
                                            full),
            nullptr);
  EXPECT_FALSE(full) << error;
}
