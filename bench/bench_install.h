#pragma once
// The benchmark's temporary install: the three bench plug-ins in
// root/bin/plugins (the in-process core finds them beside a made-up
// executable path) and, for the start-up row, root/startup with a copy of the
// real core binary, a hundred tiny plug-ins and a working directory.
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

class BenchInstall {
public:
  static constexpr int kTinyPlugins = 100;

  BenchInstall();
  ~BenchInstall(); // removes the whole tree
  BenchInstall(const BenchInstall&) = delete;
  BenchInstall& operator=(const BenchInstall&) = delete;

  // The path the in-process core is constructed with.
  std::string ExecutablePath() const { return (root / "bin" / "corvane-bench").string(); }
  // bench_a.so, bench_b.so, bench_c.so in list order.
  std::vector<std::string> PluginPaths() const;

  fs::path root;
  fs::path startupBin;  // corvane-core and plugins/tiny_NNN.so
  fs::path startupWork; // the core's working directory
  std::vector<std::string> tinyPaths;
};
