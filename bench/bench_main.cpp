// corvane-bench: the real core against its floors, in one run. Prints one
// table and, last, one summary line of ratios.
//   corvane-bench [--quick] [--rounds N] [--rows 1,2,...]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "bench_rows.h"

namespace {

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

int Usage(const char* self) {
  std::fprintf(stderr, "usage: %s [--quick] [--rounds N] [--rows 1,2,...,12]\n", self);
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  BenchConfig config;
  config.self = fs::canonical("/proc/self/exe").string();
  std::set<int> only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--callgrind-child") {
      BenchInstall install;
      return CallgrindChild(install);
    } else if (arg == "--quick") {
      config.scale = 0.1;
      config.rounds = 3;
    } else if (arg == "--rounds" && i + 1 < argc) {
      config.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--rows" && i + 1 < argc) {
      // Comma-separated row numbers: "--rows 12" is row 12, not rows 1 and 2.
      std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        const size_t comma = std::min(list.find(',', at), list.size());
        const int row = std::atoi(list.substr(at, comma - at).c_str());
        if (row > 0) only.insert(row);
        at = comma + 1;
      }
    } else {
      return Usage(argv[0]);
    }
  }

  std::printf("corvane-bench: %u cpus, %s, %d rounds per row (medians)\n",
              std::thread::hardware_concurrency(), CpuModel().c_str(), config.rounds);
  std::fflush(stdout);
  const struct {
    std::set<int> rows;
    const char* name;
    std::function<std::vector<BenchRow>(const BenchInstall&, const BenchConfig&)> run;
  } groups[] = {{{1, 2, 3, 4}, "event bus", EventRows},
                {{5}, "search", SearchRows},
                {{6}, "ipc", IpcRows},
                {{7}, "start-up", StartupRows},
                {{8}, "memory", MemoryRows},
                {{9}, "mqtt", MqttRows},
                {{10}, "ingest", IngestRows},
                {{11}, "recording", RecordingRows},
                {{12}, "metrics", MetricsRows}};
  std::vector<BenchRow> rows;
  try {
    BenchInstall install;
    for (const auto& group : groups) {
      bool wanted = only.empty();
      for (int row : group.rows) wanted = wanted || only.contains(row);
      if (!wanted) continue;
      const auto t0 = std::chrono::steady_clock::now();
      std::fprintf(stderr, "running %s rows...\n", group.name);
      for (BenchRow& row : group.run(install, config)) rows.push_back(std::move(row));
      std::fprintf(stderr, "  %.1f s\n",
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvane-bench: %s\n", error.what());
    PrintTable(rows);
    return 1;
  }
  PrintTable(rows);
  PrintSummary(rows);
  return 0;
}
