// The Debian packages `make package` builds: their files and control fields,
// and the server they install, run from an extracted tree.
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>

#include "core_harness.h"

namespace {

// The paths of a package's regular files and links, as "usr/...".
std::set<std::string> FilesOf(const fs::path& deb) {
  std::string out;
  EXPECT_EQ(Shell("dpkg-deb --fsys-tarfile " + Quote(deb) + " | tar -t", out), 0) << out;
  std::set<std::string> files;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("./", 0) == 0) line.erase(0, 2);
    if (!line.empty() && line.back() != '/') files.insert(line);
  }
  return files;
}

std::string Field(const fs::path& deb, const std::string& name) {
  std::string out;
  EXPECT_EQ(Shell("dpkg-deb -f " + Quote(deb) + " " + name, out), 0) << out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

} // namespace

TEST(Package, InstallsARunnableServerAndTheSdk) {
  CoreLayout layout(false);
  const fs::path out = layout.root / "packages";
  std::string text;
  ASSERT_EQ(Shell(Quote(CORVANE_CPACK_COMMAND) + " --config " +
                      Quote(fs::path(CORVANE_BINARY_DIR) / "CPackConfig.cmake") + " -B " +
                      Quote(out),
                  text),
            0)
      << text;
  const std::string version = CORVANE_VERSION;
  const fs::path server = out / ("corvane_" + version + "_amd64.deb");
  const fs::path dev = out / ("corvane-dev_" + version + "_amd64.deb");
  ASSERT_TRUE(fs::exists(server)) << text;
  ASSERT_TRUE(fs::exists(dev)) << text;

  const std::set<std::string> serverFiles = FilesOf(server);
  const std::set<std::string> expected = {"usr/bin/corvaned",
                                          "usr/lib/corvane/corvane-core",
                                          "usr/lib/corvane/plugins/RuzUZ.so",
                                          "usr/bin/corvane-export",
                                          "usr/lib/corvane/available/camera.so",
                                          "usr/lib/corvane/available/ipcam.so",
                                          "usr/lib/corvane/available/mqtt.so",
                                          "usr/lib/corvane/available/recorder.so",
                                          "usr/lib/corvane/available/viewer.so",
                                          "usr/lib/systemd/system/corvaned.service",
                                          "usr/lib/sysusers.d/corvane.conf",
                                          "usr/share/corvane/core.xml",
                                          "usr/share/corvane/get_id.sh"};
  EXPECT_EQ(serverFiles, expected);
  const std::set<std::string> devFiles = FilesOf(dev);
  for (const char* file : {"usr/include/rk/core/sdk.h", "usr/include/rk/core/plugin_api.h",
                           "usr/share/cmake/corvane-sdk/corvane-sdk-config.cmake",
                           "usr/share/pkgconfig/corvane-sdk.pc", "usr/bin/corvane-plugin-check"})
    EXPECT_EQ(devFiles.count(file), 1u) << file;
  for (const auto& file : devFiles) EXPECT_EQ(serverFiles.count(file), 0u) << "in both: " << file;

  // Dependencies computed from the shared libraries, plus the user's maker.
  EXPECT_EQ(Field(server, "Package"), "corvane");
  EXPECT_EQ(Field(server, "Version"), version);
  const std::string depends = Field(server, "Depends");
  EXPECT_NE(depends.find("libc6"), std::string::npos) << depends;
  EXPECT_NE(depends.find("libstdc++6"), std::string::npos) << depends;
  EXPECT_NE(depends.find("adduser"), std::string::npos) << depends;
  EXPECT_EQ(Field(dev, "Package"), "corvane-dev");
  EXPECT_NE(Field(dev, "Depends").find("libc6"), std::string::npos);

  // The maintainer scripts are there and parse.
  const fs::path control = layout.root / "control";
  ASSERT_EQ(Shell("dpkg-deb -e " + Quote(server) + " " + Quote(control), text), 0) << text;
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    EXPECT_EQ(Shell("sh -n " + Quote(control / script), text), 0) << script << ": " << text;
    EXPECT_TRUE((fs::status(control / script).permissions() & fs::perms::owner_exec) !=
                fs::perms::none)
        << script;
  }
  EXPECT_NE(layout.ReadFile("../control/postinst").find("/var/lib/corvane"), std::string::npos);

  // Extracted, corvaned finds the core and the core its plug-ins, all from
  // the package; the working directory is what postinst would make.
  const fs::path tree = layout.root / "tree";
  ASSERT_EQ(Shell("dpkg-deb -x " + Quote(server) + " " + Quote(tree), text), 0) << text;
  fs::copy_file(tree / "usr/share/corvane/core.xml", layout.work / "core.xml",
                fs::copy_options::overwrite_existing);
  fs::copy_file(tree / "usr/share/corvane/get_id.sh", layout.work / "scripts/get_id.sh",
                fs::copy_options::overwrite_existing);
  CoreProcess::Options options({"--workdir", layout.work.string()}, false);
  options.program = (tree / "usr/bin/corvaned").string();
  CoreProcess daemon(layout, options);
  daemon.Start();
  const std::string core = (tree / "usr/lib/corvane/corvane-core").string();
  EXPECT_TRUE(daemon.WaitForStdout("core " + core + " started")) << daemon.Stdout();
  // The packaged logging plug-in writes the core's log.
  EXPECT_TRUE(WaitUntil([&] { return layout.Exists("logs/core.log"); }));
  EXPECT_TRUE(daemon.WaitForStdout("memory limits")) << daemon.Stdout();
  daemon.Signal(SIGTERM);
  const ExitStatus status = daemon.Wait();
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0) << daemon.Stdout() << daemon.Stderr();
  EXPECT_NE(daemon.Stdout().find("Unloading 01:RuzUZ"), std::string::npos) << daemon.Stdout();
  EXPECT_NE(daemon.Stdout().find("corvaned: core exited with status 0"), std::string::npos);

  // The unit, pointed at the extracted corvaned, passes systemd's checks.
  if (Shell("command -v systemd-analyze", text) != 0) GTEST_SKIP() << "no systemd-analyze";
  const std::string unit = layout.ReadFile("../tree/usr/lib/systemd/system/corvaned.service");
  EXPECT_NE(unit.find("ExecStart=/usr/bin/corvaned "), std::string::npos) << unit;
  EXPECT_NE(unit.find("User=corvane"), std::string::npos);
  EXPECT_NE(unit.find("AmbientCapabilities=CAP_NET_ADMIN CAP_NET_RAW CAP_SYS_RAWIO"),
            std::string::npos);
  EXPECT_NE(unit.find("Restart=on-failure"), std::string::npos);
  layout.WriteFile("../corvaned.service", std::regex_replace(unit, std::regex("=/usr/bin/"),
                                                             "=" + tree.string() + "/usr/bin/"));
  EXPECT_EQ(Shell("systemd-analyze verify " + Quote(layout.root / "corvaned.service"), text), 0);
  EXPECT_EQ(text, "");
}
