// corvane-plugin-check on good, incomplete and broken plug-ins.
#include <chrono>
#include <gtest/gtest.h>

#include "core_harness.h"

namespace {

using Outcome = CommandOutcome;

// Runs the checker, in `directory` when one is given.
Outcome Check(const std::string& arguments, const std::string& directory = "") {
  return RunCommand((directory.empty() ? "" : "cd '" + directory + "' && ") +
                    std::string(CORVANE_PLUGIN_CHECK) + " " + arguments + " 2>/dev/null");
}

std::string Build(const std::string& name) {
  return (fs::path(CORVANE_TEST_PLUGIN_DIR) / (name + ".so")).string();
}

bool Has(const Outcome& o, const std::string& text) {
  return o.out.find(text) != std::string::npos;
}

} // namespace

TEST(PluginCheck, TheLoggingPluginPasses) {
  const Outcome o = Check(CORVANE_LOGGING_PLUGIN);
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_TRUE(Has(o, "Entry points: Load Unload Open Close OnEvent")) << o.out;
  EXPECT_TRUE(Has(o, "Plug-in id: 01 (id word 0x10000)")) << o.out;
  EXPECT_TRUE(Has(o, "log       0x0000000002000000  live\n")) << o.out;
  EXPECT_TRUE(Has(o, "Flags: worker 0, reader 0, write 0")) << o.out;
  EXPECT_TRUE(Has(o, "Problems: none\nResult: PASS")) << o.out;
}

TEST(PluginCheck, RunsWorkerAndReaderAndRecordsEveryPost) {
  CoreLayout layout(false);
  layout.WriteFile("probe.so.cfg",
                   "id 0x30000\nworker 1\nreader 1\npost_in_entries 1\naccept.video 0x6000000\n");
  const Outcome o = Check("--workdir " + layout.work.string() + " " + Build("probe"));
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_TRUE(Has(o, "Plug-in id: 03 (id word 0x30000)")) << o.out;
  EXPECT_TRUE(Has(o, "video     0x0000000006000000  live, stored")) << o.out;
  EXPECT_TRUE(Has(o, "Flags: worker 1, reader 1, write 0")) << o.out;
  EXPECT_TRUE(Has(o, "Worker thread (IOCTL 1): returned")) << o.out;
  EXPECT_TRUE(Has(o, "Reader thread (Read): returned")) << o.out;
  EXPECT_TRUE(Has(o, "Events posted: 3")) << o.out;
  EXPECT_TRUE(Has(o, "[worker, ")) << o.out;
  EXPECT_TRUE(Has(o, "[main, Open] alarm live type=0x4 flags=0x1000000 source=0x30000 len=4 "
                     "\"open\""))
      << o.out;
  EXPECT_TRUE(Has(o, "[main, Close] alarm live")) << o.out;
  EXPECT_TRUE(Has(o, "Load: code 0 in ")) << o.out;
  EXPECT_TRUE(Has(o, "Open: ")) << o.out;
  // The calls the probe saw, in the core's order and records.
  const auto calls = layout.Calls("probe.so");
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(CallField(calls.front(), "size"), "40");
  EXPECT_EQ(CallsOf(calls, "IOCTL").size(), 1u);
  EXPECT_EQ(CallField(CallsOf(calls, "IOCTL")[0], "code"), "1");
  EXPECT_EQ(CallField(CallsOf(calls, "Read")[0], "mode"), "1");
  EXPECT_EQ(CallsOf(calls, "Close").size(), 1u);
  EXPECT_EQ(calls.back().rfind("Unload", 0), 0u);
}

TEST(PluginCheck, ContractProblemsFail) {
  struct Case {
    std::string build, config, expected;
  };
  const std::vector<Case> cases = {
      {"probe_noclose", "", "Open without Close (open code -102)"},
      {"probe_noopen", "", "Close without Open (open code -102)"},
      {"probe_noload", "", "missing Load() (load code -101)"},
      {"probe", "load_result 5\n", "Load returned 5 (load code 5)"},
      {"probe", "id 0x1030000\n", "plug-in id word 0x1030000 has bits above 23 set"},
      {"probe_bare", "worker 1\n", "worker flag set but no IOCTL"},
      {"probe_noread", "reader 1\n", "reader flag set but no Read"},
      {"probe_noevent", "accept.alarm 0x2000000\n", "accepts live events (alarm) but cannot"},
      {"probe_bare", "accept.log 0x4000000\n", "provides stored data (log) but has no OnSearch"},
      {"probe", "id 0x20000\ncontrol 1\npost_in_entries 1\n", ""}, // a clean run for contrast
  };
  for (const auto& c : cases) {
    CoreLayout layout(false);
    if (!c.config.empty()) layout.WriteFile(c.build + ".so.cfg", c.config);
    const Outcome o = Check("--workdir " + layout.work.string() + " " + Build(c.build));
    if (c.expected.empty()) {
      EXPECT_EQ(o.status, 0) << c.build << "\n" << o.out;
    } else {
      EXPECT_EQ(o.status, 1) << c.build << "\n" << o.out;
      EXPECT_TRUE(Has(o, "  - " + c.expected)) << c.build << "\n" << o.out;
      EXPECT_TRUE(Has(o, "Result: FAIL")) << o.out;
    }
  }
  const Outcome missing = Check("/nonexistent/x.so");
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Has(missing, "the library cannot be opened (load code 79): /nonexistent/x.so"))
      << missing.out;
  EXPECT_EQ(Check("").status, 2);
  EXPECT_EQ(Check("--timeout 0 x.so").status, 2);
}

TEST(PluginCheck, CrashesAndHangsAreReportedNotInherited) {
  const Outcome crash = Check(Build("broken_open_crash"));
  EXPECT_EQ(crash.status, 1) << crash.out;
  EXPECT_TRUE(Has(crash, "crashed with SIGSEGV on the main thread during Open")) << crash.out;
  EXPECT_TRUE(Has(crash, "Plug-in id: 42")) << crash.out; // what was learnt before the crash

  const auto t0 = std::chrono::steady_clock::now();
  const Outcome hang = Check("--timeout 2 " + Build("broken_load_hang"));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
  EXPECT_EQ(hang.status, 1) << hang.out;
  EXPECT_TRUE(Has(hang, "Load did not return within 2 s")) << hang.out;

  const Outcome stuck = Check("--timeout 2 " + Build("broken_stuck_worker"));
  EXPECT_EQ(stuck.status, 1) << stuck.out;
  EXPECT_TRUE(Has(stuck, "the worker thread's IOCTL 1 did not return within 2 s after Close"))
      << stuck.out;
  EXPECT_TRUE(Has(stuck, "Worker thread (IOCTL 1): did not return")) << stuck.out;
}

TEST(PluginCheck, TheSamplePluginsPass) {
  const auto sample = [](const std::string& name) {
    return (fs::path(CORVANE_SAMPLE_PLUGIN_DIR) / (name + ".so")).string();
  };
  const Outcome camera = Check("--life 500 " + sample("camera"));
  EXPECT_EQ(camera.status, 0) << camera.out;
  EXPECT_TRUE(Has(camera, "Plug-in id: 03 (id word 0x30000)")) << camera.out;
  EXPECT_TRUE(Has(camera, "Flags: worker 1, reader 0, write 0")) << camera.out;
  EXPECT_TRUE(Has(camera, "Worker thread (IOCTL 1): returned")) << camera.out;
  EXPECT_TRUE(Has(camera, "[worker, running] video live type=0x1 flags=0x1000000 source=0x30000 "
                          "len=40000"))
      << camera.out;

  const Outcome recorder = Check(sample("recorder"));
  EXPECT_EQ(recorder.status, 0) << recorder.out;
  EXPECT_TRUE(Has(recorder, "Entry points: Load Unload Open Close OnEvent OnSearch"))
      << recorder.out;
  EXPECT_TRUE(Has(recorder, "video     0x0000000006000000  live, stored\n")) << recorder.out;

  const Outcome viewer = Check(sample("viewer"));
  EXPECT_EQ(viewer.status, 0) << viewer.out;
  EXPECT_TRUE(Has(viewer, "Plug-in id: 00 (id word 0x0)")) << viewer.out;
  EXPECT_TRUE(Has(viewer, "alarm     0x0000000002000000  live\n")) << viewer.out;
  EXPECT_TRUE(Has(viewer, "] ipc type=0x2000 flags=0x0 source=0x0 len=44")) << viewer.out;

  // The camera driver, without an ipcam.xml: it says so and passes.
  const Outcome ipcam = Check(sample("ipcam"));
  EXPECT_EQ(ipcam.status, 0) << ipcam.out;
  EXPECT_TRUE(Has(ipcam, "Plug-in id: 0c (id word 0xc0000)")) << ipcam.out;

  for (const Outcome* o : {&camera, &recorder, &viewer, &ipcam})
    EXPECT_TRUE(Has(*o, "Problems: none\nResult: PASS")) << o->out;
}

// The checks that need events fed, the stop's refusals and the verdict: one
// broken build per fault, and a correct C++ plug-in fed what the core posts.
TEST(PluginCheck, FeedsEventsAndFlagsEachFault) {
  struct Case {
    std::string build, options, expected;
  };
  const std::vector<Case> cases = {
      {"broken_size_word", "",
       "posted 1 record(s) whose size and version words are not 224 and "
       "1 (the first: size 200, version 1)"},
      {"broken_foreign_source", "", "posted with source 0x430000, which is not its own id word"},
      {"broken_double_release", "--feed alarm", "released 1 payload reference(s) twice"},
      {"broken_never_release", "--feed alarm --feed memory",
       "kept 2 payload(s) from OnEvent and never released them"},
      {"broken_blocking_post", "--feed alarm",
       "posted 1 stored record(s) with payload from "
       "OnEvent"},
      {"broken_slow_event", "--feed alarm", "OnEvent took "},
      {"probe_nounload", "", "missing Unload() (load code -101)"},
      {"probe_noload", "", "missing Load() (load code -101)"},
  };
  for (const auto& c : cases) {
    const Outcome o = Check(c.options + " " + Build(c.build));
    EXPECT_EQ(o.status, 1) << c.build << "\n" << o.out;
    EXPECT_TRUE(Has(o, "  - " + c.expected)) << c.build << "\n" << o.out;
    EXPECT_TRUE(Has(o, "\nResult: FAIL (")) << o.out;
  }

  // A worker that stops when posts are refused passes, as it does in the core.
  const Outcome refused = Check(Build("broken_stops_on_refused"));
  EXPECT_EQ(refused.status, 0) << refused.out;
  EXPECT_TRUE(Has(refused, "Worker thread (IOCTL 1): returned")) << refused.out;

  // A bare file name is the file in the current directory.
  const Outcome bare = Check("cpp_base.so", CORVANE_TEST_PLUGIN_DIR);
  EXPECT_EQ(bare.status, 0) << bare.out;

  // A correct plug-in fed the core's own events and a camera's video.
  CoreLayout layout(false);
  layout.WriteFile("door.xml", "<?xml version=\"1.0\"?><Varn><Door State=\"open\"/></Varn>");
  const Outcome fed =
      Check("--feed memory --feed status --feed alarm:" + (layout.work / "door.xml").string() +
            " --feed video " + Build("cpp_base"));
  EXPECT_EQ(fed.status, 0) << fed.out;
  EXPECT_TRUE(Has(fed, "Events fed to OnEvent: 4\n  memory  delivered in ")) << fed.out;
  EXPECT_TRUE(Has(fed, "  video   not delivered: its accept words do not take it")) << fed.out;
  EXPECT_TRUE(Has(fed, "Payloads released: 2 of 2 kept\n")) << fed.out;
  EXPECT_TRUE(Has(fed, "cpp_base: kept <?xml version=\\x221.0\\x22?><Varn><Door")) << fed.out;
  EXPECT_EQ(Check("--feed bogus " + Build("cpp_base")).status, 2);
}
