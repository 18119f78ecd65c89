// A plug-in built outside the tree against the installed SDK loads into the
// real core: install the SDK into a temporary prefix, build the guide's
// examples with find_package and with pkg-config, and start the core; build
// and check what corvane-plugin-new writes.
#include <csignal>
#include <cstdio>
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/wait.h>

#include "core_harness.h"

namespace {

// The SDK component of this build, installed below `prefix`.
int InstallSdk(const fs::path& prefix, std::string& out) {
  return Shell(Quote(CORVANE_CMAKE_COMMAND) + " --install " + Quote(CORVANE_BINARY_DIR) +
                   " --prefix " + Quote(prefix) + " --component corvane-sdk",
               out);
}

} // namespace

TEST(SdkInstall, ExamplesBuildAgainstTheInstalledSdkAndLoad) {
  CoreLayout layout;
  const fs::path prefix = layout.root / "prefix";
  const fs::path build = layout.root / "examples";
  const std::string cmake = Quote(CORVANE_CMAKE_COMMAND);
  std::string out;

  ASSERT_EQ(InstallSdk(prefix, out), 0) << out;
  for (const char* file :
       {"include/rk/core/sdk.h", "include/rk/core/event_parms.h", "include/rk/core/plugin_api.h",
        "share/cmake/corvane-sdk/corvane-sdk-config.cmake", "share/pkgconfig/corvane-sdk.pc",
        "bin/corvane-plugin-check"}) {
    EXPECT_TRUE(fs::exists(prefix / file)) << file;
  }

  ASSERT_EQ(Shell(cmake + " -S " + Quote(fs::path(CORVANE_SOURCE_DIR) / "docs" / "examples") +
                      " -B " + Quote(build) + " -G " + Quote(CORVANE_CMAKE_GENERATOR) +
                      " -DCMAKE_PREFIX_PATH=" + Quote(prefix) +
                      " '-DCMAKE_C_FLAGS=-Wall -Wextra -Werror'" +
                      " '-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror'",
                  out),
            0)
      << out;
  ASSERT_EQ(Shell(cmake + " --build " + Quote(build), out), 0) << out;
  ASSERT_TRUE(fs::exists(build / "hello_c.so"));
  ASSERT_TRUE(fs::exists(build / "hello_cpp.so"));

  // The pkg-config module is relocatable and enough to build the C example.
  const std::string pc = "PKG_CONFIG_PATH=" + Quote(prefix / "share" / "pkgconfig") + " pkg-config";
  ASSERT_EQ(Shell(pc + " --cflags corvane-sdk", out), 0) << out;
  EXPECT_NE(out.find("-I" + (prefix / "share" / "pkgconfig").string() + "/../../include"),
            std::string::npos)
      << out;
  ASSERT_EQ(Shell("cc -std=c11 -Wall -Wextra -Werror -shared -fPIC $(" + pc +
                      " --cflags corvane-sdk) -o " + Quote(layout.root / "hello_pc.so") + " " +
                      Quote(fs::path(CORVANE_SOURCE_DIR) / "docs" / "examples" / "hello_c.c"),
                  out),
            0)
      << out;

  // Every C and C++ block of the guide is a whole file that compiles against
  // the installed headers.
  std::ifstream guideFile(fs::path(CORVANE_SOURCE_DIR) / "docs" / "plugin-guide.md");
  const std::string guide((std::istreambuf_iterator<char>(guideFile)),
                          std::istreambuf_iterator<char>());
  std::string compiles;
  int blocks = 0;
  for (size_t at = 0; (at = guide.find("\n```", at)) != std::string::npos;) {
    const size_t infoEnd = guide.find('\n', at + 4);
    const std::string info = guide.substr(at + 4, infoEnd - at - 4);
    const size_t end = guide.find("\n```\n", infoEnd);
    ASSERT_NE(end, std::string::npos);
    if (info == "c" || info == "cpp") {
      const fs::path file = layout.root / fmt::format("guide_{}.{}", blocks++, info);
      std::ofstream(file) << guide.substr(infoEnd + 1, end - infoEnd);
      compiles += fmt::format("{} -Wall -Wextra -Werror -fPIC -I{} -c {} -o {}.o\n",
                              info == "c" ? "cc -std=c11" : "c++ -std=c++17",
                              Quote(prefix / "include"), Quote(file), Quote(file));
    }
    at = end + 4;
  }
  EXPECT_GE(blocks, 8);
  std::ofstream(layout.root / "compiles") << compiles;
  EXPECT_EQ(Shell("xargs -P2 -L1 sh -c '\"$0\" \"$@\"' < " + Quote(layout.root / "compiles"), out),
            0)
      << out;

  // Both pass the installed checker.
  for (const char* name : {"hello_c.so", "hello_cpp.so"}) {
    EXPECT_EQ(
        Shell(Quote(prefix / "bin" / "corvane-plugin-check") + " " + Quote(build / name), out), 0)
        << out;
  }

  fs::copy_file(build / "hello_c.so", layout.bin / "plugins" / "hello_c.so");
  fs::copy_file(build / "hello_cpp.so", layout.bin / "plugins" / "hello_cpp.so");
  CoreProcess core(layout);
  core.Start();
  EXPECT_TRUE(core.WaitForStdout("Loaded plugin 71:hello_c"));
  EXPECT_TRUE(core.WaitForStdout("Loaded plugin 72:hello_cpp"));
  EXPECT_TRUE(core.WaitForStdout("hello_c: open"));
  EXPECT_TRUE(core.WaitForStdout("hello_cpp: open"));
  // The C++ example's worker alarms reach the C example: it counts them at Close.
  std::this_thread::sleep_for(2500ms);
  core.Signal(SIGTERM);
  const ExitStatus status = core.Wait(30s);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(core.WaitForStdout("hello_cpp: closed"));
  const std::string stdoutText = core.Stdout();
  EXPECT_EQ(stdoutText.find("hello_c: 0 alarm(s) seen"), std::string::npos) << stdoutText;
  EXPECT_NE(stdoutText.find(" alarm(s) seen"), std::string::npos) << stdoutText;
}

// corvane-plugin-new from the installed SDK: every language and role builds
// with -Werror, exports nothing but entry points, and passes the checker
// through the test each template carries.
TEST(SdkInstall, TemplatesBuildAndPassTheChecker) {
  CoreLayout layout;
  const fs::path prefix = layout.root / "prefix";
  const fs::path project = layout.root / "plugins";
  const std::string cmake = Quote(CORVANE_CMAKE_COMMAND);
  std::string out;
  ASSERT_EQ(InstallSdk(prefix, out), 0) << out;
  EXPECT_TRUE(fs::exists(prefix / "share/corvane-sdk/examples/hello_cpp.cpp"));
  const std::string generate =
      Quote(prefix / "bin" / "corvane-plugin-new") + " --dir " + Quote(project);
  EXPECT_EQ(Shell(generate + " --lang cpp --role source --id 1 one", out), 2) << out;
  EXPECT_NE(out.find("reserved"), std::string::npos) << out;

  // One project holding all six, so that they configure and build once.
  std::string top = "cmake_minimum_required(VERSION 3.16)\nproject(all LANGUAGES C CXX)\n"
                    "enable_testing()\n";
  int id = 0x60;
  for (const char* lang : {"c", "cpp"}) {
    for (const char* role : {"source", "sink", "provider"}) {
      const std::string name = std::string(lang) + "_" + role;
      ASSERT_EQ(Shell(generate + " --lang " + lang + " --role " + role + " --id " +
                          fmt::format("{:x}", id++) + " " + name,
                      out),
                0)
          << out;
      top += "add_subdirectory(" + name + ")\n";
    }
  }
  std::ofstream(project / "CMakeLists.txt") << top;
  const fs::path build = project / "build";
  ASSERT_EQ(Shell(cmake + " -S " + Quote(project) + " -B " + Quote(build) + " -G " +
                      Quote(CORVANE_CMAKE_GENERATOR) + " -DCMAKE_PREFIX_PATH=" + Quote(prefix) +
                      " '-DCMAKE_C_FLAGS=-Wall -Wextra -Werror'" +
                      " '-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror'",
                  out),
            0)
      << out;
  ASSERT_EQ(Shell(cmake + " --build " + Quote(build), out), 0) << out;
  ASSERT_EQ(Shell("nm -D --defined-only " + Quote(build / "cpp_source" / "cpp_source.so") +
                      " | awk '{print $3}' | sort | tr '\\n' ' '",
                  out),
            0);
  EXPECT_EQ(out, "Close IOCTL Load OnEvent OnIpcResult Open Unload ");
  EXPECT_EQ(Shell("ctest -j2 --output-on-failure --test-dir " + Quote(build), out), 0) << out;
  EXPECT_NE(out.find("100% tests passed, 0 tests failed out of 6"), std::string::npos) << out;
}
