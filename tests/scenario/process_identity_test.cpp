// The core takes on its parent's user and keeps only the capabilities it
// needs. The test plays a parent whose real user is nobody (65534) while it
// stays root itself (effective id 0), and starts the core as root, as nobody,
// or under another root parent.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <pwd.h>
#include <set>
#include <sstream>
#include <unistd.h>

#include "core_harness.h"

namespace {

constexpr uid_t kNobody = 65534;

// The test process's real user id for its lifetime; effective and saved
// stay root, so the test keeps every privilege.
class ScopedRealUid {
public:
  explicit ScopedRealUid(uid_t uid) {
    ok_ = ::setresuid(uid, static_cast<uid_t>(-1), static_cast<uid_t>(-1)) == 0;
  }
  ~ScopedRealUid() { ::setresuid(0, static_cast<uid_t>(-1), static_cast<uid_t>(-1)); }
  bool ok() const { return ok_; }

private:
  bool ok_ = false;
};

// "Key:" lines of a task's status file.
std::map<std::string, std::string> TaskStatus(pid_t pid, pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    fields[line.substr(0, colon)] = value;
  }
  return fields;
}

std::vector<pid_t> Tasks(pid_t pid) {
  std::vector<pid_t> tids;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    tids.push_back(static_cast<pid_t>(std::stol(entry.path().filename().string())));
  return tids;
}

std::string Caps(uint64_t set) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(set));
  return text;
}

std::set<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The probe's first OnEvent runs on the dispatch loop, after every plug-in
// opened and the main thread narrowed its capabilities.
bool DispatchRunning(const CoreLayout& layout) {
  return !CallsOf(layout.Calls("p1.so"), "OnEvent").empty();
}

const char* kProbe = "id 0x10000\naccept.log 0x2000000\n";

} // namespace

TEST(ProcessIdentity, RootCoreTakesOnNobodyWithTwoCapabilitySets) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const passwd* nobody = ::getpwuid(kNobody);
  if (nobody == nullptr) GTEST_SKIP() << "no account 65534";
  const gid_t nobodyGid = nobody->pw_gid;
  std::vector<gid_t> groups(256);
  int count = 256;
  ASSERT_GE(::getgrouplist(nobody->pw_name, nobodyGid, groups.data(), &count), 0);
  std::set<std::string> expectedGroups;
  for (int i = 0; i < count; ++i) expectedGroups.insert(std::to_string(groups[i]));

  CoreLayout layout;
  layout.AddProbe("p1.so", kProbe);
  ScopedRealUid parent(kNobody);
  ASSERT_TRUE(parent.ok());
  CoreProcess::Options options;
  options.beforeExec = [] { ::setresuid(0, 0, 0); }; // the core itself starts as root
  CoreProcess core(layout, options);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return DispatchRunning(layout); }, 30s)) << core.Stdout();

  // The IPC packet for the probe is handled on the I/O thread, started
  // between the two narrowings.
  ASSERT_TRUE(core.Send(Packet(100, Address(1), "who")));
  ASSERT_TRUE(WaitUntil([&] { return !CallsOf(layout.Calls("p1.so"), "OnIpcResult").empty(); }));
  const pid_t ioThread = static_cast<pid_t>(
      std::stol(CallField(CallsOf(layout.Calls("p1.so"), "OnIpcResult").front(), "tid")));
  ASSERT_NE(ioThread, core.pid());
  auto io = TaskStatus(core.pid(), ioThread);
  EXPECT_EQ(io["CapEff"], Caps(0x23000));
  EXPECT_EQ(io["CapPrm"], Caps(0x23000));
  EXPECT_EQ(io["CapInh"], Caps(0));

  // The main thread (the dispatch loop) keeps only the second set.
  const auto main = TaskStatus(core.pid(), core.pid());
  EXPECT_EQ(main.at("CapEff"), Caps(0x3000));
  EXPECT_EQ(main.at("CapPrm"), Caps(0x3000));
  EXPECT_EQ(main.at("CapInh"), Caps(0));
  EXPECT_EQ(Words(main.at("Uid")), std::set<std::string>{"65534"});
  EXPECT_EQ(Words(main.at("Gid")), std::set<std::string>{std::to_string(nobodyGid)});
  EXPECT_EQ(Words(main.at("Groups")), expectedGroups);
  // Every thread has one of the two sets, none more.
  for (const pid_t tid : Tasks(core.pid())) {
    const auto task = TaskStatus(core.pid(), tid);
    if (task.empty()) continue; // gone meanwhile
    EXPECT_TRUE(task.at("CapEff") == Caps(0x3000) || task.at("CapEff") == Caps(0x23000))
        << tid << " " << task.at("CapEff");
  }

  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(core.Stdout().find("capset failed"), std::string::npos);
  for (const char* step :
       {"getpwuid failed", "setuid/gid failed", "getgrouplist failed", "setgroups failed"}) {
    EXPECT_EQ(core.Stdout().find(step), std::string::npos) << step;
  }
}

TEST(ProcessIdentity, RootParentLeavesARootCoreAlone) {
  if (::geteuid() != 0 || ::getuid() != 0) GTEST_SKIP() << "needs root";
  CoreLayout layout;
  layout.AddProbe("p1.so", kProbe);
  CoreProcess core(layout);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return DispatchRunning(layout); }, 30s));
  const auto own = TaskStatus(::getpid(), ::getpid());
  const auto main = TaskStatus(core.pid(), core.pid());
  EXPECT_EQ(main.at("CapEff"), own.at("CapEff"));
  EXPECT_EQ(main.at("CapPrm"), own.at("CapPrm"));
  EXPECT_EQ(Words(main.at("Uid")), std::set<std::string>{"0"});
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
  EXPECT_EQ(core.Stdout().find("capset failed"), std::string::npos);
}

TEST(ProcessIdentity, UnprivilegedCoreWarnsTwiceAndRuns) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  CoreLayout layout;
  layout.AddProbe("p1.so", kProbe);
  ScopedRealUid parent(kNobody);
  ASSERT_TRUE(parent.ok());
  CoreProcess::Options options;
  options.beforeExec = [] {
    ::setgroups(0, nullptr);
    ::setresgid(kNobody, kNobody, kNobody);
    ::setresuid(kNobody, kNobody, kNobody);
  };
  CoreProcess core(layout, options);
  core.Start();
  ASSERT_TRUE(WaitUntil([&] { return DispatchRunning(layout); }, 30s)) << core.Stdout();
  ASSERT_TRUE(core.WaitForStdout("capset failed: Operation not permitted"));
  EXPECT_TRUE(WaitUntil([&] {
    return core.CountStdout("capset failed: Operation not permitted") == 2;
  })) << core.Stdout();
  const auto main = TaskStatus(core.pid(), core.pid());
  EXPECT_EQ(main.at("CapEff"), Caps(0));
  core.Signal(SIGTERM);
  EXPECT_EQ(core.Wait(30s).code, 0);
}

TEST(ProcessIdentity, FailedSwitchesStopStartUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  CoreLayout layout;
  layout.AddProbe("p1.so", kProbe);
  {
    // A nobody core under a root parent cannot become root.
    CoreProcess::Options options;
    options.beforeExec = [] {
      ::setgroups(0, nullptr);
      ::setresgid(kNobody, kNobody, kNobody);
      ::setresuid(kNobody, kNobody, kNobody);
    };
    CoreProcess core(layout, options);
    core.Start();
    const ExitStatus status = core.Wait(30s);
    EXPECT_EQ(status.code, 2);
    EXPECT_NE(core.Stdout().find("setuid/gid failed: Operation not permitted"), std::string::npos)
        << core.Stdout();
    EXPECT_EQ(core.Stderr(), "failed to initialize core\n");
  }
  {
    // A parent user without an account entry.
    ScopedRealUid parent(54321);
    ASSERT_TRUE(parent.ok());
    ASSERT_EQ(::getpwuid(54321), nullptr);
    CoreProcess::Options options;
    options.beforeExec = [] { ::setresuid(0, 0, 0); };
    CoreProcess core(layout, options);
    core.Start();
    const ExitStatus status = core.Wait(30s);
    EXPECT_EQ(status.code, 2);
    EXPECT_NE(core.Stdout().find("getpwuid failed: "), std::string::npos) << core.Stdout();
    EXPECT_EQ(core.Stderr(), "failed to initialize core\n");
  }
  EXPECT_TRUE(CallsOf(layout.Calls("p1.so"), "Load").empty()); // no plug-in loaded
}
