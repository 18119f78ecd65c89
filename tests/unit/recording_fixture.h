#pragma once
// A temporary recording root and segments written from the H.264 test clip
// (10 frames a second, a key frame every 10 frames), for the recorder's unit
// tests.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "annexb.h"
#include "catalogue.h"
#include "rk/core/media.h"
#include "segment_writer.h"

namespace fs = std::filesystem;

class RecordingRoot : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "recordings-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    std::string error;
    catalogue = recorder::Catalogue::Open(root.string(), true, error);
    ASSERT_NE(catalogue, nullptr) << error;
    std::ifstream in(CORVANE_TEST_CLIP, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string clip = bytes.str();
    const std::string delimiter("\0\0\0\1\x09", 5);
    for (size_t at = clip.find(delimiter); at != std::string::npos;) {
      const size_t next = clip.find(delimiter, at + 5);
      units.push_back(clip.substr(at, next == std::string::npos ? next : next - at));
      at = next;
    }
    ASSERT_GE(units.size(), 30u);
  }
  void TearDown() override {
    catalogue.reset();
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Writes `frames` frames from `start` (10 a second) to root/relative; with
  // `finish` false the writer is dropped as a crash would leave it.
  void WriteSegment(const std::string& relative, int64_t start, int frames, bool finish = true) {
    fs::create_directories((root / relative).parent_path());
    recorder::StreamParams params{RK_CODEC_H264, 160, 120, {}};
    const std::string& first = units[0];
    params.parameterSets = recorder::ParameterSets(reinterpret_cast<const uint8_t*>(first.data()),
                                                   first.size(), RK_CODEC_H264);
    std::string error;
    bool full = false;
    auto writer =
        recorder::SegmentWriter::Create((root / relative).string(), params, start,
                                        recorder::SegmentWriter::Layout::Fragmented, error, full);
    ASSERT_NE(writer, nullptr) << error;
    for (int i = 0; i < frames; ++i) {
      const std::string& unit = units[static_cast<size_t>(i) % units.size()];
      ASSERT_TRUE(writer->Write(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(),
                                start + i * 100000, i % 10 == 0));
    }
    if (finish) {
      ASSERT_TRUE(writer->Finish(false));
    }
  }

  int64_t AddRow(const std::string& relative, int64_t start, uint64_t bytes, bool complete,
                 uint32_t camera = 1) {
    recorder::SegmentRow row;
    row.camera = camera;
    row.name = "gate";
    row.startMicros = start;
    row.endMicros = start + 900000;
    row.path = relative;
    row.bytes = bytes;
    row.frames = 10;
    row.complete = complete;
    return catalogue->AddSegment(row);
  }

  fs::path root;
  std::unique_ptr<recorder::Catalogue> catalogue;
  std::vector<std::string> units; // the clip's access units
};
