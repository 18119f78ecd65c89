// Where the host identifier comes from, what plug-ins get, and the start-up
// status line of a machine without one.
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

#include "core_harness.h"

namespace {

const std::string kFallback = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kStatusLine = "Startup status: code D";

void WriteScript(CoreLayout& layout, const std::string& body) {
  layout.WriteFile("scripts/get_id.sh", "#!/bin/sh\n" + body);
  fs::permissions(layout.work / "scripts" / "get_id.sh", fs::perms::all);
}

struct Outcome {
  std::string hostId; // as the plug-in's Load line shows it
  std::string out, err;
  int exitCode = -1;
};

// A full start-up without a parent: the core loads everything, then stops.
Outcome StartAndStop(CoreLayout& layout) {
  std::error_code ignored;
  fs::remove(layout.work / "p1.so.calls", ignored);
  layout.AddProbe("p1.so", "id 0x10000\n");
  CoreProcess core(layout, {{}, false});
  core.Start();
  const ExitStatus status = core.Wait(30s);
  Outcome run;
  run.exitCode = status.exited ? status.code : -1;
  run.out = core.Stdout();
  run.err = core.Stderr();
  const auto loads = CallsOf(layout.Calls("p1.so"), "Load");
  if (!loads.empty()) run.hostId = CallField(loads.front(), "hostid");
  return run;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Puts a directory first on PATH for the cores started meanwhile.
class ScopedPath {
public:
  explicit ScopedPath(const std::string& path) {
    const char* old = std::getenv("PATH");
    if (old) saved_ = old;
    ::setenv("PATH", path.c_str(), 1);
  }
  ~ScopedPath() { ::setenv("PATH", saved_.c_str(), 1); }

private:
  std::string saved_;
};

} // namespace

TEST(HostIdentifier, FallbackDigestReportsCodeD) {
  CoreLayout layout;
  // Nothing printed by either command.
  WriteScript(layout, "exit 0\n");
  Outcome silent = StartAndStop(layout);
  EXPECT_EQ(silent.exitCode, 0);
  EXPECT_EQ(silent.hostId, kFallback);
  EXPECT_EQ(Count(silent.out, kStatusLine), 1u) << silent.out;

  // No script at all.
  fs::remove(layout.work / "scripts" / "get_id.sh");
  Outcome missing = StartAndStop(layout);
  EXPECT_EQ(missing.hostId, kFallback);
  EXPECT_EQ(Count(missing.out, kStatusLine), 1u);
  EXPECT_EQ(missing.err, ""); // the failing commands' complaints stay out of the core's stderr

  // A script's own identifier that merely contains the digest counts too.
  WriteScript(layout, "printf 'box-" + kFallback + "'\n");
  Outcome containing = StartAndStop(layout);
  EXPECT_EQ(containing.hostId, "box-" + kFallback);
  EXPECT_EQ(Count(containing.out, kStatusLine), 1u);

  // A real identifier: handed over unchanged, no status line.
  WriteScript(layout, "printf 'rack-12'\n");
  Outcome named = StartAndStop(layout);
  EXPECT_EQ(named.hostId, "rack-12");
  EXPECT_EQ(Count(named.out, kStatusLine), 0u);
}

TEST(HostIdentifier, SudoFirstThenThePlainScript) {
  CoreLayout layout;
  // A stand-in sudo that records how it was asked and runs the command.
  const fs::path tools = layout.root / "tools";
  fs::create_directories(tools);
  {
    std::ofstream sudo(tools / "sudo");
    sudo << "#!/bin/sh\necho \"$*\" >> \"$PWD/sudo.args\"\n[ \"$1\" = -n ] && shift\n"
            "SUDO_UID=0 exec \"$@\"\n";
  }
  fs::permissions(tools / "sudo", fs::perms::all);
  const std::string identify =
      "if [ -n \"$SUDO_UID\" ]; then printf \"$UNDER_SUDO\"; else printf 'plain-id'; fi\n";

  {
    ScopedPath path(tools.string() + ":/usr/bin:/bin");
    // Nothing under sudo, something without.
    WriteScript(layout, "UNDER_SUDO=''\n" + identify);
    Outcome fallback = StartAndStop(layout);
    EXPECT_EQ(fallback.hostId, "plain-id");
    EXPECT_EQ(layout.ReadFile("sudo.args"), "-n ./scripts/get_id.sh\n");
    EXPECT_EQ(Count(fallback.out, kStatusLine), 0u);

    // Something under sudo wins.
    WriteScript(layout, "UNDER_SUDO='sudo-id'\n" + identify);
    Outcome elevated = StartAndStop(layout);
    EXPECT_EQ(elevated.hostId, "sudo-id");
    EXPECT_EQ(elevated.err, "");
  }
  {
    // No sudo on the machine at all: the plain script, and a quiet stderr.
    ScopedPath path((layout.root / "empty").string());
    WriteScript(layout, "UNDER_SUDO='sudo-id'\n" + identify);
    Outcome noSudo = StartAndStop(layout);
    EXPECT_EQ(noSudo.hostId, "plain-id");
    EXPECT_EQ(noSudo.err, "");
    EXPECT_EQ(noSudo.exitCode, 0);
  }
}
