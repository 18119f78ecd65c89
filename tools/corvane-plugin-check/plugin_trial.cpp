#include "plugin_trial.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fmt/format.h>
#include <thread>
#include <unistd.h>

#include "check_protocol.h"
#include "rk/core/sdk.h"

using namespace rk::core;

namespace check {

namespace {

// Written once before the plug-in is loaded, read by every posting thread.
int g_fd = -1;
// The main thread's current step, read by posting threads and the crash
// handler; always points at a string literal.
std::atomic<const char*> g_step{"start"};
thread_local const char* t_thread = "plugin-thread";

void Send(std::string line) {
  if (line.size() > kMaxMessage - 1) line.resize(kMaxMessage - 1);
  line += '\n';
  (void)!::write(g_fd, line.data(), line.size());
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Runs `call` as a main-thread step, reporting its start, result and time.
template <typename Call> int64_t Step(const char* name, Call call) {
  g_step = name;
  Send(fmt::format("enter {}", name));
  const int64_t t0 = NowNs();
  const int64_t code = call();
  Send(fmt::format("leave {} {} {}", name, code, NowNs() - t0));
  return code;
}

bool IsText(uint64_t base) {
  switch (base) {
  case RK_TYPE_ALARM:
  case RK_TYPE_PTZ:
  case RK_TYPE_SERIAL:
  case RK_TYPE_LOG:
  case RK_TYPE_CONFIG:
  case RK_TYPE_POS:
  case RK_TYPE_ANALYTIC:
    return true;
  default:
    return false;
  }
}

// The post event callback handed to the plug-in: records and answers like a
// core that has no parent and offers no data-protection keys.
uint32_t Recorder(EventParms* e) {
  if (e == nullptr) {
    Send(fmt::format("post-null {} {}", t_thread, g_step.load()));
    return RK_POST_REFUSED;
  }
  if (e->data == nullptr) e->length = 0;
  const uint64_t base = e->type & ~static_cast<uint64_t>(RK_TYPE_MODIFIER);
  std::string preview;
  if (e->data != nullptr && e->length > 0 && IsText(base)) {
    preview.assign(static_cast<const char*>(e->data), std::min<uint32_t>(e->length, 160));
  }
  Send(fmt::format("post {} {} {:#x} {:#x} {:#x} {:#x} {} {:#x} {} {} {} {}", t_thread,
                   g_step.load(), e->type, e->flags, e->source, e->request, e->length, e->level,
                   e->size, e->version, e->data != nullptr ? 1 : 0, Escape(preview)));
  if (std::strcmp(g_step.load(), "after-unload") == 0) return RK_POST_REFUSED;
  switch (base) {
  case RK_TYPE_LOG:
    return (e->flags & RK_FLAG_QUERY) ? 25u : RK_POST_OK;
  case RK_TYPE_CANCEL:
    return RK_POST_OK; // nothing is ever cancelled here
  case RK_TYPE_IPC:
    return RK_POST_REFUSED; // no parent
  case RK_TYPE_CRYPTO:
    return RK_CRYPTO_BAD_OPERATION;
  default:
    return RK_POST_OK;
  }
}

void OnCrash(int signal) {
  // Async-signal-safe: only write() on prebuilt pieces.
  char line[160];
  size_t n = 0;
  auto put = [&](const char* text) {
    while (*text && n < sizeof line - 2) line[n++] = *text++;
  };
  char number[4] = {static_cast<char>('0' + signal / 10), static_cast<char>('0' + signal % 10), 0,
                    0};
  put("crash ");
  put(number);
  put(" ");
  put(t_thread);
  put(" ");
  put(g_step.load());
  line[n++] = '\n';
  (void)!::write(g_fd, line, n);
  ::raise(signal); // SA_RESETHAND: this time the default action ends the process
}

void InstallCrashHandlers() {
  struct sigaction action {};
  action.sa_handler = OnCrash;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) sigaction(signal, &action, nullptr);
}

int CountThreads() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

template <typename Fn> Fn Symbol(void* handle, const char* name) {
  return reinterpret_cast<Fn>(::dlsym(handle, name));
}

[[noreturn]] void Finish() {
  Send("done");
  ::_exit(0);
}

} // namespace

void InspectInChild(const InspectOptions& options, int fd) {
  g_fd = fd;
  t_thread = "main";
  InstallCrashHandlers();
  // Some runtimes (ThreadSanitizer's, for one) start a helper thread with the
  // first thread a process makes; let that happen before taking the baseline.
  std::thread([] {}).join();
  const int threadsBefore = CountThreads();

  void* handle = nullptr;
  Step("dlopen", [&] {
    handle = ::dlopen(options.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle != nullptr ? 0 : RK_LOAD_DLOPEN_FAILED;
  });
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    Send("dlopen-failed " + Escape(reason != nullptr ? reason : "unknown"));
    Finish();
  }

  static constexpr const char* kEntries[] = {"Load",        "Unload",   "Open", "Close",
                                             "OnEvent",     "OnSearch", "Read", "Write",
                                             "OnIpcResult", "IOCTL"};
  std::string exports = "exports";
  for (const char* name : kEntries) {
    if (::dlsym(handle, name) != nullptr) exports += std::string(" ") + name;
  }
  Send(exports);

  const auto load = Symbol<LoadFn>(handle, "Load");
  const auto unload = Symbol<UnloadFn>(handle, "Unload");
  if (load == nullptr || unload == nullptr) {
    // As the core: never loaded, so never unloaded.
    Step("dlclose", [&] { return ::dlclose(handle); });
    Finish();
  }

  static const std::string kHostId = "corvane-plugin-check";
  auto loadParams = MakeRecord<LoadParams>();
  loadParams.postEvent = &Recorder;
  loadParams.hostId = kHostId.c_str();
  loadParams.hostIdLength = static_cast<uint32_t>(kHostId.size());
  // Kept alive until Unload, as the core keeps it: the plug-in may hold on to it.
  static auto info = MakeRecord<PluginInfo>();
  const int64_t loadCode = Step("Load", [&] { return load(&loadParams, &info); });
  {
    std::string words = fmt::format("info {:#x}", info.pluginId);
    for (uint64_t word : {info.acceptVideo, info.acceptAudio, info.acceptAlarm, info.acceptPtz,
                          info.acceptSerial, info.acceptWatchdog, info.acceptLog, info.acceptConfig,
                          info.acceptPos, info.acceptAnalytic}) {
      words += fmt::format(" {:#x}", word);
    }
    words += fmt::format(" {} {} {}", info.workerFlag, info.readerFlag, info.writeFlag);
    Send(words);
  }
  g_step = "loaded";
  if (loadCode != 0) {
    Step("dlclose", [&] { return ::dlclose(handle); });
    Finish();
  }

  const auto ioctl = Symbol<IoctlFn>(handle, "IOCTL");
  std::thread worker;
  if (ioctl != nullptr && info.workerFlag != 0) {
    Send("worker-started");
    worker = std::thread([ioctl] {
      t_thread = "worker";
      auto params = MakeRecord<IoctlParams>();
      params.code = RK_IOCTL_WORKER;
      auto result = MakeRecord<IoctlResult>();
      result.code = RK_IOCTL_WORKER;
      ioctl(&params, &result);
      Send("worker-returned");
    });
  }

  const auto open = Symbol<OpenFn>(handle, "Open");
  const auto close = Symbol<CloseFn>(handle, "Close");
  std::thread reader;
  const bool opened = open != nullptr && close != nullptr;
  if (opened) {
    Step("Open", [&] {
      auto params = MakeRecord<OpenParams>();
      auto result = MakeRecord<OpenResult>();
      return open(&params, &result);
    });
    const auto read = Symbol<ReadFn>(handle, "Read");
    if (read != nullptr && info.readerFlag != 0) {
      Send("reader-started");
      reader = std::thread([read] {
        t_thread = "reader";
        auto params = MakeRecord<ReadParams>();
        params.mode = 1;
        read(&params, nullptr);
        Send("reader-returned");
      });
    }
  }

  g_step = "running";
  std::this_thread::sleep_for(std::chrono::milliseconds(options.lifeMs));

  if (opened) {
    Step("Close", [&] {
      auto params = MakeRecord<CloseParams>();
      auto result = MakeRecord<CloseResult>();
      return close(&params, &result);
    });
    g_step = "closed";
  }
  if (reader.joinable()) {
    Step("join-reader", [&] {
      reader.join();
      return 0;
    });
  }
  if (worker.joinable()) {
    Step("join-worker", [&] {
      worker.join();
      return 0;
    });
  }
  Step("Unload", [&] {
    auto params = MakeRecord<UnloadParams>();
    auto result = MakeRecord<UnloadResult>();
    return unload(&params, &result);
  });
  g_step = "after-unload";

  // Threads of the plug-in's own must be gone once Unload returns: the core
  // closes the library right after it.
  int left = CountThreads() - threadsBefore;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (left > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = CountThreads() - threadsBefore;
  }
  Send(fmt::format("threads-left {}", left < 0 ? 0 : left));
  if (left <= 0) Step("dlclose", [&] { return ::dlclose(handle); });
  Finish();
}

} // namespace check
