// Preloaded into the core (LD_PRELOAD) by the throttling scenario, so that
// ordinary test payloads can run the core out of memory:
// - sysinfo reports CORVANE_TEST_TOTAL_RAM bytes of RAM (when set);
// - mallinfo2 reports the sanitizer allocator's figures in sanitizer builds,
//   where glibc's arena never sees the program's allocations (tcmalloc
//   builds do not ask mallinfo2).
#include <cstdlib>
#include <dlfcn.h>
#include <malloc.h>
#include <sys/sysinfo.h>

extern "C" {

__attribute__((visibility("default"))) int sysinfo(struct sysinfo* info) {
  using SysinfoFn = int (*)(struct sysinfo*);
  static const auto real = reinterpret_cast<SysinfoFn>(dlsym(RTLD_NEXT, "sysinfo"));
  const int result = real != nullptr ? real(info) : -1;
  const char* total = std::getenv("CORVANE_TEST_TOTAL_RAM");
  if (result == 0 && total != nullptr) {
    info->totalram = std::strtoul(total, nullptr, 10);
    info->mem_unit = 1;
  }
  return result;
}

__attribute__((visibility("default"))) struct mallinfo2 mallinfo2() {
  using SizeFn = size_t (*)();
  static const auto allocated =
      reinterpret_cast<SizeFn>(dlsym(RTLD_DEFAULT, "__sanitizer_get_current_allocated_bytes"));
  static const auto heap =
      reinterpret_cast<SizeFn>(dlsym(RTLD_DEFAULT, "__sanitizer_get_heap_size"));
  if (allocated == nullptr || heap == nullptr) {
    using MallinfoFn = struct mallinfo2 (*)();
    static const auto real = reinterpret_cast<MallinfoFn>(dlsym(RTLD_NEXT, "mallinfo2"));
    struct mallinfo2 none {};
    return real != nullptr ? real() : none;
  }
  struct mallinfo2 info {};
  info.uordblks = allocated();
  info.arena = heap() > info.uordblks ? heap() : info.uordblks;
  return info;
}

} // extern "C"
