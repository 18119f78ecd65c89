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
#include "pluginhost/plugin.h"
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

[[noreturn]] void Finish() {
  Send("done");
  ::_exit(0);
}

// Reports every step of the core's own lifecycle code as the child's lines,
// and names the thread each post comes from.
class TrialObserver final : public corvane::PluginObserver {
public:
  void Enter(const char* step) override {
    g_step = step;
    Send(fmt::format("enter {}", step));
  }
  void Leave(const char* step, int64_t code, int64_t elapsedNs) override {
    Send(fmt::format("leave {} {} {}", step, code, elapsedNs));
    if (std::strcmp(step, "Load") == 0) g_step = "loaded";
    if (std::strcmp(step, "Close") == 0) g_step = "closed";
    if (std::strcmp(step, "Unload") == 0) g_step = "after-unload";
  }
  void LibraryOpened(void* handle) override {
    static constexpr const char* kEntries[] = {"Load",        "Unload",   "Open", "Close",
                                               "OnEvent",     "OnSearch", "Read", "Write",
                                               "OnIpcResult", "IOCTL"};
    std::string exports = "exports";
    for (const char* name : kEntries) {
      if (::dlsym(handle, name) != nullptr) exports += std::string(" ") + name;
    }
    Send(exports);
  }
  void InfoFilled(const PluginInfo& info) override {
    std::string words = fmt::format("info {:#x}", info.pluginId);
    for (uint64_t word : {info.acceptVideo, info.acceptAudio, info.acceptAlarm, info.acceptPtz,
                          info.acceptSerial, info.acceptWatchdog, info.acceptLog, info.acceptConfig,
                          info.acceptPos, info.acceptAnalytic}) {
      words += fmt::format(" {:#x}", word);
    }
    words += fmt::format(" {} {} {}", info.workerFlag, info.readerFlag, info.writeFlag);
    Send(words);
  }
  void ThreadStarting(const char* kind) override { Send(fmt::format("{}-started", kind)); }
  void InThread(const char* kind) override { t_thread = kind; }
  void ThreadReturned(const char* kind) override { Send(fmt::format("{}-returned", kind)); }
  bool MayCloseLibrary() override {
    // Threads of the plug-in's own must be gone once Unload returns: the core
    // closes the library right after it.
    int left = CountThreads() - threadsBefore;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (left > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      left = CountThreads() - threadsBefore;
    }
    Send(fmt::format("threads-left {}", left < 0 ? 0 : left));
    return left <= 0;
  }

  int threadsBefore = 0;
};

} // namespace

void InspectInChild(const InspectOptions& options, int fd) {
  g_fd = fd;
  t_thread = "main";
  InstallCrashHandlers();
  // Some runtimes (ThreadSanitizer's, for one) start a helper thread with the
  // first thread a process makes; let that happen before taking the baseline.
  std::thread([] {}).join();
  static TrialObserver observer;
  observer.threadsBefore = CountThreads();

  // The core's own lifecycle code, with the core's order of calls.
  static const std::string kHostId = "corvane-plugin-check";
  const auto plugin = corvane::Plugin::Load(options.path, &Recorder, kHostId, &observer);
  if (plugin->loadCode == RK_LOAD_DLOPEN_FAILED) {
    Send("dlopen-failed " + Escape(plugin->errorText));
    Finish();
  }
  if (!plugin->IsLoaded()) Finish();
  plugin->ProvideWorkerThreadIf();
  plugin->Open();
  g_step = "running";
  std::this_thread::sleep_for(std::chrono::milliseconds(options.lifeMs));
  plugin->Close();
  plugin->Unload();
  Finish();
}

} // namespace check
