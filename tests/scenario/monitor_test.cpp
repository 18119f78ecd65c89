// Monitoring seen from outside: the limits line and the first statistics
// report on the console, and the memory event with its throttling switch.
#include <csignal>
#include <gtest/gtest.h>
#include <regex>

#include "core_harness.h"

namespace {

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Payloads of the memory events (alarms from the core) the probe received.
std::vector<std::string> MemoryEvents(const CoreLayout& layout, const std::string& probe) {
  std::vector<std::string> events;
  for (const auto& line : CallsOf(layout.Calls(probe), "OnEvent")) {
    if (CallField(line, "type") == "0x4" && CallField(line, "source") == "0x80000000") {
      EXPECT_EQ(CallField(line, "flags"), "0x1000010");
      events.push_back(Unhex(CallField(line, "data")));
    }
  }
  return events;
}

// Starts the core with one alarm-taking probe, lets it run its first
// report, then stops it.
void RunBriefly(CoreLayout& layout, CoreProcess& core) {
  layout.AddProbe("p1.so", "id 0x10000\naccept.alarm 0x2000000\n");
  core.Start();
  ASSERT_TRUE(core.WaitForStdout("top: ", 20s)) << core.Stdout();
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(20s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
}

TEST(Monitor, LimitsLineFirstReportAndMemoryEventAtStart) {
  CoreLayout layout;
  CoreProcess core(layout);
  RunBriefly(layout, core);
  const std::string out = core.Stdout();

  EXPECT_EQ(core.CountStdout("memory limits, throttling:"), 1u) << out;
  EXPECT_TRUE(std::regex_search(
      out,
      std::regex(R"(memory limits, throttling:[0-9.]+[KMGT]iB stack:(-1|[0-9.,]+([KMG]iB)?))")))
      << out;

  // The first dispatch pass reports at once, in three lines.
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(InQ:[0-9,]+ events:[0-9,]+ idle:[0-9]+s throttled\[v:0 a:0\]\n)"
                      R"(ltm:[0-9,]+us ipc\[r:[0-9,]+ p:[0-9,]+ d:[0-9.,KMGi]+B?\] )"
                      R"(srch\[r:0 c:0 p:0 d:0\]\n)"
                      R"(memory\[inuse:[0-9.,]+([KMG]iB)?( [+-]?[0-9.,-]+([KMG]iB)?)?\] )"
                      R"(refblks:[0-9,]+\([0-9.,]+([KMG]iB)?\) top: )")))
      << out;
  EXPECT_EQ(core.CountStdout("InQ:"), 1u); // the next one is a minute away

  // Throttling is on by default: the start announces "not throttled".
  const auto events = MemoryEvents(layout, "p1.so");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      events[0], std::regex(R"re(<\?xml\?><Varn><Memory ID="-2147483648" Throttling="0" )re"
                            R"re(Time="([0-9]+)" mseTime="([0-9]+)"/></Varn>)re")))
      << events[0];
}

TEST(Monitor, ThrottlingSwitchInCoreXml) {
  struct Case {
    const char* value;
    bool eventExpected;
  };
  for (const Case& c : {Case{"FALSE", false}, Case{"0", false}, Case{"fAlSe", false},
                        Case{"no", true}, Case{"off", true}, Case{"", true}}) {
    CoreLayout layout;
    layout.WriteFile("core.xml",
                     std::string("<?xml version=\"1.0\"?>\n<Varn><Memory Throttling=\"") + c.value +
                         "\"/></Varn>\n");
    CoreProcess core(layout);
    RunBriefly(layout, core);
    EXPECT_EQ(core.CountStdout("Config defaulted"), 0u) << core.Stdout();
    // Sampling goes on either way: the limits line is there.
    EXPECT_EQ(core.CountStdout("memory limits, throttling:"), 1u);
    EXPECT_EQ(MemoryEvents(layout, "p1.so").size(), c.eventExpected ? 1u : 0u)
        << "Throttling=\"" << c.value << "\"";
  }
}

} // namespace
