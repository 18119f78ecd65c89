#include "plugin_trial.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fmt/format.h>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "check_protocol.h"
#include "events/accept_filter.h"
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
// Set once the life is over: live posts are refused from then on, as the
// core refuses them once it stops.
std::atomic<bool> g_stopping{false};

// Payloads fed to OnEvent and kept by the plug-in: true once given back.
// Guarded by g_feedMutex; the bytes live until the process ends.
std::mutex g_feedMutex;
std::map<const void*, bool> g_kept;
std::vector<std::unique_ptr<std::string>> g_fedBytes;

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
  if (std::strcmp(t_thread, "dispatch") == 0 && (e->flags & RK_FLAG_STORED) != 0 &&
      e->data != nullptr) {
    Send("blocking-post");
  }
  if (base == RK_TYPE_DECREF && e->data != nullptr) {
    std::lock_guard lock(g_feedMutex);
    const auto kept = g_kept.find(e->data);
    if (kept == g_kept.end()) {
      Send("decref foreign");
    } else {
      Send(kept->second ? "decref double" : "decref ok");
      kept->second = true;
    }
    return RK_POST_OK;
  }
  if (g_stopping && (e->flags & RK_FLAG_LIVE) != 0 && base != RK_TYPE_LOG) return RK_POST_REFUSED;
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

// The record a --feed delivers, as the core or another plug-in would post it.
EventParms FeedRecord(const Feed& feed, uint64_t ownId, std::string& payload) {
  constexpr uint64_t kOther = RK_ID_WORD(0x7f); // some other plug-in
  EventParms e;
  InitEvent(e);
  e.flags = RK_FLAG_LIVE;
  e.source = kOther;
  if (feed.type == "memory") {
    e.type = RK_TYPE_ALARM;
    e.flags |= RK_FLAG_XML;
    e.source = RK_ID_NONE;
    payload = "<?xml?><Varn><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"1189\" "
              "mseTime=\"1189148\"/></Varn>";
  } else if (feed.type == "status") {
    e.type = RK_TYPE_CONFIG;
    e.flags |= RK_FLAG_XML;
    e.source = RK_ID_NONE;
    payload = fmt::format(
        "<?xml?><Varn><Memory ID=\"-2147483648\" Throttling=\"1\"/><Modules TotalLoadTimeMs=\"0\" "
        "TotalOpenTimeMs=\"0\"><Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.1.3.0\">"
        "<Plugin ID=\"-2147483648\" Filename=\"corvane-core\" Opened=\"1\" LoadTimeMs=\"0\" "
        "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/><Plugin ID=\"{}\" "
        "Filename=\"plugin.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" "
        "LogLevel=\"-1\" LogLevelDefault=\"-1\"/></Module></Modules><Product Family=\"Corvane\" "
        "Version=\"26.1.3.0\"/></Varn>",
        static_cast<int32_t>(static_cast<uint32_t>(ownId)));
  } else if (feed.type == "alarm") {
    e.type = RK_TYPE_ALARM;
    payload = "<?xml version=\"1.0\"?><Varn><Camera Number=\"1\" Name=\"gate\" "
              "State=\"online\"/></Varn>";
  } else if (feed.type == "log") {
    e.type = RK_TYPE_LOG;
    e.flags |= RK_FLAG_CONSOLE;
    e.source = RK_ID_NONE;
    e.level = 25;
    payload = "Loaded plugin 7f:other";
  } else { // video, audio: one access unit with its media description
    const bool video = feed.type == "video";
    e.type = video ? RK_TYPE_VIDEO : RK_TYPE_AUDIO;
    const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    e.media.seconds = static_cast<uint64_t>(micros / 1000000);
    e.media.milliseconds = static_cast<uint16_t>(micros / 1000 % 1000);
    e.media.frameType = RK_FRAME_KEY;
    MediaInfo& info = MediaInfoOf(e);
    info.camera = 1;
    info.codec = video ? RK_CODEC_H264 : RK_CODEC_AAC;
    info.width = video ? 1920 : 0;
    info.height = video ? 1080 : 0;
    info.captureMicros = micros;
    payload = video ? std::string("\0\0\0\1\x67\x42\0\0\0\1\x68\xce\0\0\0\1\x65\x88", 18)
                    : std::string("\xff\xf1\x50\x80\x01\x7f\xfc\x21", 8);
  }
  if (!feed.file.empty()) {
    std::ifstream in(feed.file, std::ios::binary);
    payload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return e;
}

// Delivers every --feed on a thread standing for the dispatch thread.
void FeedAll(const std::vector<Feed>& feeds, const PluginInfo& info, OnEventFn onEvent) {
  std::thread([&] {
    t_thread = "dispatch";
    for (const Feed& feed : feeds) {
      auto bytes = std::make_unique<std::string>();
      EventParms e = FeedRecord(feed, info.pluginId, *bytes);
      e.data = bytes->data();
      e.length = static_cast<uint32_t>(bytes->size());
      if (!corvane::Accepts(info, e)) {
        Send(fmt::format("feed {} not-routed", feed.type));
        continue;
      }
      if (onEvent == nullptr) {
        Send(fmt::format("feed {} no-OnEvent", feed.type));
        continue;
      }
      const void* data = e.data;
      {
        // Given from here on: a decref inside OnEvent already counts.
        std::lock_guard lock(g_feedMutex);
        g_fedBytes.push_back(std::move(bytes));
        g_kept.emplace(data, false);
      }
      const int64_t t0 = NowNs();
      const bool keep = onEvent(&e, &e) != 0;
      const int64_t ns = NowNs() - t0;
      if (!keep) {
        std::lock_guard lock(g_feedMutex);
        g_kept.erase(data);
      }
      Send(fmt::format("feed {} delivered {} {}", feed.type, keep ? 1 : 0, ns));
    }
  }).join();
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
    if (std::strcmp(step, "Unload") == 0) {
      g_step = "after-unload";
      std::lock_guard lock(g_feedMutex);
      size_t unreleased = 0;
      for (const auto& [data, released] : g_kept) unreleased += released ? 0 : 1;
      if (unreleased != 0) Send(fmt::format("kept-unreleased {}", unreleased));
    }
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
  const auto closeAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.lifeMs);
  if (plugin->open != nullptr && !options.feeds.empty())
    FeedAll(options.feeds, plugin->info, plugin->onEvent);
  std::this_thread::sleep_until(closeAt);
  g_stopping = true;
  plugin->Close();
  plugin->Unload();
  Finish();
}

bool KnownFeedType(const std::string& type) {
  for (const char* known : {"memory", "status", "alarm", "log", "video", "audio"})
    if (type == known) return true;
  return false;
}

} // namespace check
