#include "monitor/monitor_environment.h"

#include <sys/resource.h>
#include <sys/sysinfo.h>

#ifdef CORVANE_WITH_TCMALLOC
#include <gperftools/malloc_extension.h>
#else
#include <malloc.h>
#endif

namespace corvane {

namespace {

class SystemEnvironment final : public MonitorEnvironment {
public:
  std::chrono::steady_clock::time_point SteadyNow() override {
    return std::chrono::steady_clock::now();
  }
  std::chrono::system_clock::time_point SystemNow() override {
    return std::chrono::system_clock::now();
  }

  HeapFigures Heap() override {
    HeapFigures figures;
#ifdef CORVANE_WITH_TCMALLOC
    size_t heapSize = 0;
    size_t allocated = 0;
    MallocExtension* allocator = MallocExtension::instance();
    allocator->GetNumericProperty("generic.heap_size", &heapSize);
    allocator->GetNumericProperty("generic.current_allocated_bytes", &allocated);
    figures.heapSize = heapSize;
    figures.allocated = allocated;
#else
    // Sanitizer builds cannot link tcmalloc; glibc's arena figures stand in.
    const struct mallinfo2 info = mallinfo2();
    figures.heapSize = info.arena + info.hblkhd;
    figures.allocated = info.uordblks + info.hblkhd;
#endif
    return figures;
  }

  std::optional<uint64_t> TotalRam() override {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return std::nullopt;
    return static_cast<uint64_t>(info.totalram) * info.mem_unit;
  }

  uint64_t StackLimit() override {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_STACK, &limit) != 0) return 0;
    return static_cast<uint64_t>(limit.rlim_cur);
  }
};

} // namespace

MonitorEnvironment& MonitorEnvironment::System() {
  static SystemEnvironment environment;
  return environment;
}

} // namespace corvane
