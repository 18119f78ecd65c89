#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

#include "config/file_store.h"

using namespace corvane;

namespace fs = std::filesystem;

namespace {

class FileStore : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "store-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    target = (dir / "core.xml").string();
    pending = target + ".pending";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir, fs::perms::owner_all, ignored);
    fs::remove_all(dir, ignored);
  }
  static void Put(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }
  static std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  template <typename F> static std::string MessageOf(F&& call) {
    try {
      call();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "(nothing raised)";
  }
  static size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
  }

  fs::path dir;
  std::string target, pending;
};

const std::string kOld = "<?xml?><Varn old=\"1\"/>";
const std::string kNew = "<?xml?><Varn new=\"1\"/>";

} // namespace

TEST_F(FileStore, WriteReplacesTargetAndLeavesNoPendingFile) {
  Put(target, kOld);
  WriteXmlFile(target, kNew.data(), kNew.size());
  EXPECT_EQ(Get(target), kNew);
  EXPECT_FALSE(fs::exists(pending));
  EXPECT_EQ(ReadWholeFile(target), kNew);
}

TEST_F(FileStore, NonXmlIsRefusedWithoutTouchingDisk) {
  for (const std::string text : {"", "<?xm", " <?xml?><a/>", "\xEF\xBB\xBF<?xml?><a/>"}) {
    EXPECT_EQ(MessageOf([&] { WriteXmlFile(target, text.data(), text.size()); }),
              "Failed - not xml content");
  }
  EXPECT_FALSE(fs::exists(target));
  EXPECT_FALSE(fs::exists(pending));
}

TEST_F(FileStore, CompletePendingFileIsAdopted) {
  Put(target, kOld);
  Put(pending, kNew);
  EXPECT_EQ(ReadXmlFile(target), kNew);
  EXPECT_EQ(Get(target), kNew);
  EXPECT_FALSE(fs::exists(pending));
}

TEST_F(FileStore, BrokenPendingFileIsDiscardedAfterTargetIsRead) {
  for (const std::string broken : {"", "<?xml?><Varn><Memory", "garbage"}) {
    Put(target, kOld);
    Put(pending, broken);
    EXPECT_EQ(ReadXmlFile(target), kOld);
    EXPECT_EQ(Get(target), kOld);
    EXPECT_FALSE(fs::exists(pending)) << broken;
  }
  // Unreadable target: the broken pending file is kept.
  fs::remove(target);
  Put(pending, "<?xml?><Varn>");
  EXPECT_EQ(MessageOf([&] { ReadXmlFile(target); }),
            "Failed to open " + target + " - No such file or directory");
  EXPECT_TRUE(fs::exists(pending));
}

TEST_F(FileStore, ReadFailuresCarryTheirMessages) {
  EXPECT_EQ(MessageOf([&] { ReadXmlFile(target); }),
            "Failed to open " + target + " - No such file or directory");
  Put(target, "");
  EXPECT_EQ(MessageOf([&] { ReadXmlFile(target); }), "Failed - not xml content");
  Put(target, "<?xm");
  EXPECT_EQ(MessageOf([&] { ReadXmlFile(target); }), "Failed - not xml content");
  Put(target, "<?xml?><Varn><a>");
  EXPECT_EQ(MessageOf([&] { ReadXmlFile(target); }), "unexpected end of data");
  EXPECT_EQ(MessageOf([&] { ReadWholeFile(dir.string()); }),
            "Failed to read " + dir.string() + " - Is a directory");
  EXPECT_EQ(ReadWholeFile(target), "<?xml?><Varn><a>");
}

TEST_F(FileStore, WriteFailuresNameThePendingPath) {
  const std::string missing = (dir / "none" / "core.xml").string();
  EXPECT_EQ(MessageOf([&] { WriteXmlFile(missing, kNew.data(), kNew.size()); }),
            "Failed to open " + missing + ".pending - No such file or directory");

  // A target that cannot be replaced: the old content stays and the failure
  // is reported instead of passing for success.
  fs::create_directories(dir / "core.xml" / "inner");
  EXPECT_EQ(MessageOf([&] { WriteXmlFile(target, kNew.data(), kNew.size()); }),
            "Failed to rename " + pending + " - Is a directory");
  EXPECT_TRUE(fs::is_directory(target));
}

TEST_F(FileStore, DescriptorsAreClosedOnEveryPath) {
  const size_t before = OpenDescriptors();
  const std::string missing = (dir / "none" / "x.xml").string();
  for (int i = 0; i < 20; ++i) {
    MessageOf([&] { ReadXmlFile(target); });                             // open fails
    MessageOf([&] { ReadWholeFile(dir.string()); });                     // read fails
    MessageOf([&] { WriteXmlFile(missing, kNew.data(), kNew.size()); }); // open fails
    Put(pending, "<?xml?><broken");
    Put(target, kOld);
    MessageOf([&] { ReadXmlFile(target); });
    WriteXmlFile(target, kNew.data(), kNew.size());
  }
  EXPECT_EQ(OpenDescriptors(), before);
}
