// Row 8: heap per queued small record, allocations on the small-record path
// and instructions per small event (callgrind, when valgrind is installed).
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include "bench_rows.h"
#include "core_rig.h"

#ifdef CORVANE_WITH_TCMALLOC
#include <gperftools/malloc_extension.h>
#include <gperftools/malloc_hook.h>
#endif

using namespace rk::core;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kQueued = 1'000'000;
constexpr uint64_t kCallgrindRuns[2] = {20'000, 100'000};
constexpr auto kCallgrindLimit = std::chrono::seconds(150);

EventParms SmallRecord() {
  AlarmEvt record;
  record.source = RK_ID_WORD(0x30);
  return record;
}

void PostAndWait(CoreRig& rig, uint64_t count) {
  const uint64_t target = rig.State(2).events.load() + count;
  EventParms record = SmallRecord();
  for (uint64_t i = 0; i < count; ++i) PostEventCallback(&record);
  while (rig.State(2).events.load(std::memory_order_acquire) < target) std::this_thread::yield();
}

#ifdef CORVANE_WITH_TCMALLOC

size_t AllocatedBytes() {
  size_t bytes = 0;
  MallocExtension::instance()->GetNumericProperty("generic.current_allocated_bytes", &bytes);
  return bytes;
}

// Heap growth while a million small records wait with no dispatch loop.
double HeapPerQueuedRecord(const BenchInstall& install) {
  CoreRig rig(install, {.dispatch = false});
  EventParms record = SmallRecord();
  const size_t before = AllocatedBytes();
  for (uint64_t i = 0; i < kQueued; ++i) PostEventCallback(&record);
  const size_t after = AllocatedBytes();
  return static_cast<double>(after - before) / kQueued;
}

std::atomic<uint64_t> g_allocations{0};
void CountAllocation(const void*, size_t) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
}

// Allocations, in any thread, while the core carries `count` small records
// after a first batch of the same size has set the queue up.
uint64_t AllocationsOnSmallPath(const BenchInstall& install, uint64_t count) {
  CoreRig rig(install, {});
  PostAndWait(rig, count);
  g_allocations = 0;
  MallocHook::AddNewHook(&CountAllocation);
  PostAndWait(rig, count);
  MallocHook::RemoveNewHook(&CountAllocation);
  return g_allocations.load();
}

#endif

bool HaveValgrind() {
  return ::access("/usr/bin/valgrind", X_OK) == 0;
}

// Runs this program under callgrind and reads the two dumps it makes.
// Returns instructions per small event, NaN when valgrind fails or is slow.
double InstructionsPerEvent(const BenchInstall& install, const BenchConfig& config) {
  const fs::path out = install.root / "callgrind";
  fs::create_directories(out);
  const std::string file = "--callgrind-out-file=" + (out / "cg.out").string();
  const pid_t pid = ::fork();
  if (pid < 0) return NAN;
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    ::execl("/usr/bin/valgrind", "valgrind", "--tool=callgrind", "--instr-atstart=no", file.c_str(),
            config.self.c_str(), "--callgrind-child", nullptr);
    _exit(127);
  }
  int status = 0;
  const auto deadline = Clock::now() + kCallgrindLimit;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return NAN;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return NAN;
  double totals[2] = {NAN, NAN};
  for (const auto& entry : fs::directory_iterator(out)) {
    std::ifstream in(entry.path());
    std::string line;
    int run = -1;
    while (std::getline(in, line)) {
      for (int i = 0; i < 2; ++i) {
        if (line == "desc: Trigger: Client Request: events-" + std::to_string(kCallgrindRuns[i]))
          run = i;
      }
      if (run >= 0 && (line.rfind("summary: ", 0) == 0 || line.rfind("totals: ", 0) == 0)) {
        totals[run] = std::stod(line.substr(line.find(' ') + 1));
        break;
      }
    }
  }
  return (totals[1] - totals[0]) / static_cast<double>(kCallgrindRuns[1] - kCallgrindRuns[0]);
}

} // namespace

int CallgrindChild(const BenchInstall& install) {
  for (const uint64_t count : kCallgrindRuns) {
    CoreRig rig(install, {});
    PostAndWait(rig, 1000);
    EventParms record = SmallRecord();
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_ZERO_STATS;
    for (uint64_t i = 0; i < count; ++i) PostEventCallback(&record);
    rig.StopAndDrain();
    CALLGRIND_DUMP_STATS_AT(("events-" + std::to_string(count)).c_str());
    CALLGRIND_STOP_INSTRUMENTATION;
  }
  return 0;
}

std::vector<BenchRow> MemoryRows(const BenchInstall& install, const BenchConfig& config) {
  std::vector<BenchRow> rows;
  BenchRow heap;
  heap.id = "8a";
  heap.what = "heap bytes per queued small record, 1 M waiting";
  heap.floor = "224 B record";
  BenchRow allocations;
  allocations.id = "8b";
  allocations.what = "heap allocations per 1 M small events (steady)";
  allocations.floor = "-";
#ifdef CORVANE_WITH_TCMALLOC
  const double perRecord = HeapPerQueuedRecord(install);
  heap.core = Fixed(perRecord, 1) + " B";
  heap.target = "<= 256 B";
  heap.met = perRecord <= 256.0;
  heap.summary = "8a " + Fixed(perRecord, 0) + "B";
  const auto count = static_cast<uint64_t>(std::max(100'000.0, 1'000'000 * config.scale));
  const uint64_t allocated = AllocationsOnSmallPath(install, count);
  const double perMillion = static_cast<double>(allocated) * 1e6 / static_cast<double>(count);
  allocations.core = Fixed(perMillion, 0);
  allocations.target = "0";
  allocations.met = allocated == 0;
  allocations.summary = "8b " + Fixed(perMillion, 0) + " allocs/M";
#else
  heap.core = allocations.core = "n/a (no tcmalloc)";
#endif
  rows.push_back(heap);
  rows.push_back(allocations);

  BenchRow instructions;
  instructions.id = "8c";
  instructions.what = "instructions per small event (callgrind, 1 poster)";
  instructions.floor = "-";
  if (!HaveValgrind()) {
    instructions.core = "n/a (no valgrind)";
  } else {
    const double perEvent = InstructionsPerEvent(install, config);
    instructions.core = std::isnan(perEvent) ? "n/a (valgrind failed)" : Fixed(perEvent, 0);
    instructions.summary = "8c " + Fixed(perEvent, 0) + " instr";
    instructions.target = "<= 500";
    if (!std::isnan(perEvent)) instructions.met = perEvent <= 500.0;
  }
  rows.push_back(instructions);
  return rows;
}
