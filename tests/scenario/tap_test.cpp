// corvane-tap against a running core: the records a probe posts show up with
// their receivers, filtered by type and source, and the client ends when the
// core stops; a filter the core cannot read is refused with a clear error.
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "core_harness.h"

namespace {

// The tap client, run in the core's working directory, at most 20 s.
FILE* StartTap(const CoreLayout& layout, const std::string& args) {
  return ::popen(
      ("cd '" + layout.work.string() + "' && exec timeout 20 '" CORVANE_TAP "' " + args + " 2>&1")
          .c_str(),
      "r");
}

std::string ReadLine(FILE* pipe) {
  char line[1024];
  if (std::fgets(line, sizeof line, pipe) == nullptr) return {};
  std::string text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

} // namespace

TEST(Tap, ShowsRoutedRecordsAndWhoGotThem) {
  CoreLayout layout;
  layout.AddProbe("a.so", "id 0x30000\ncontrol 1\n");
  layout.AddProbe("b.so", "id 0x50000\naccept.alarm 0x2000000\n");
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(Opened(layout, "a.so"));
  ASSERT_TRUE(Opened(layout, "b.so"));
  ProbeControl probe(layout, "a.so");

  FILE* bad = StartTap(layout, "--type bogus");
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(ReadLine(bad), "corvane-tap: the core refused the filter: unknown type 'bogus'");
  const int badStatus = ::pclose(bad);
  EXPECT_TRUE(WIFEXITED(badStatus) && WEXITSTATUS(badStatus) == 1) << badStatus;

  FILE* tap = StartTap(layout, "--type alarm --source 03");
  ASSERT_NE(tap, nullptr);
  EXPECT_EQ(ReadLine(tap), "tap: type=alarm source=03");
  EXPECT_EQ(probe.Command("post type=1 flags=0x1000000 text=frame"), "ret=0");
  EXPECT_EQ(probe.Command("post type=4 flags=0x1000000 text=door"), "ret=0");
  const std::string line = ReadLine(tap);
  EXPECT_EQ(line.size() > 13 ? line.substr(13) : line, "alarm live 03:a len=4 -> 05:b") << line;

  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(20s).code, 0);
  EXPECT_EQ(ReadLine(tap), ""); // the core hung up: nothing else matched
  const int status = ::pclose(tap);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(layout.work / "tap.sock"));
}
