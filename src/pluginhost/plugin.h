#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "pluginhost/plugin_thread.h"
#include "rk/core/core_ids.h"
#include "rk/core/plugin_api.h"

namespace corvane {

class OnEventSampler; // metrics/core_metrics.h

// Watches one plug-in's lifecycle step by step. corvane-plugin-check reports
// through it what the core does to a plug-in; the core runs without one.
// Steps: "dlopen", "Load", "Open", "Close", "join-reader", "join-worker",
// "Unload", "dlclose". Called on the thread that runs the step.
class PluginObserver {
public:
  virtual ~PluginObserver() = default;
  virtual void Enter(const char* step) = 0;
  virtual void Leave(const char* step, int64_t code, int64_t elapsedNs) = 0;
  // The library is open: its symbols may be looked at.
  virtual void LibraryOpened(void* handle) = 0;
  // Load returned and filled the plug-in information.
  virtual void InfoFilled(const rk::core::PluginInfo& info) = 0;
  // "worker" or "reader": before the thread starts (on the starting
  // thread), first thing on the new thread, and when its call returned.
  virtual void ThreadStarting(const char* kind) = 0;
  virtual void InThread(const char* kind) = 0;
  virtual void ThreadReturned(const char* kind) = 0;
  // Unload returned; false keeps the library open.
  virtual bool MayCloseLibrary() = 0;
};

// One plug-in library the core tried to load, shared by the loaded and failed
// lists, the logging plug-in member and running searches. Its state follows
// from which entry pointers are set (failed, loaded, open, closed, unloaded).
//
// Threads: Load, Open, Close and Unload run on the main thread (or, for a
// plug-in released last by a search, on that search's thread). The dispatch
// loop runs on the main thread too and calls OnEvent without a lock. Every
// other thread (I/O, search, stop-time log hand-over) enters the library only
// through the Guarded delivery calls, which hold guard_ shared; Open, Close
// and Unload change the entry pointers holding it exclusively, never while
// calling into the plug-in, so no entry point is entered once Close (for the
// event and search entries) or Unload (for all) has begun.
class Plugin {
public:
  ~Plugin(); // Close, then Unload

  // Never fails as a call: the outcome is in loadCode, errorText and handle.
  static std::shared_ptr<Plugin> Load(const std::string& path, rk::core::PostEventFn postEvent,
                                      const std::string& hostId,
                                      PluginObserver* observer = nullptr);
  void Open();
  void ProvideWorkerThreadIf();
  void StartAsyncReaderIf();
  void Close();
  // Waits for the reader and worker calls to return, then unloads.
  // `stillWaiting` hears which call ("reader call (Read)", "worker call
  // (IOCTL 1)") still runs after 5 s and every 30 s after that.
  void Unload(const std::function<void(const char* call, long long seconds)>& stillWaiting = {});

  // Delivery, with the legacy forms. Dispatch thread only: true = keep.
  bool DeliverEvent(const rk::core::EventParms& record) {
    if (onEvent != nullptr) return onEvent(&record, &record) != 0;
    return DeliverLegacy(record);
  }
  // The same from any other thread; false when the event entries are gone.
  bool DeliverEventGuarded(const rk::core::EventParms& record);
  // Search request on a search thread: OnSearch, else Read with the reader flag.
  void DeliverSearch(const rk::core::EventParms& request);
  // IPC packet on the I/O thread: OnIpcResult, else IOCTL code 4.
  void DeliverIpc(const void* packet, uint32_t length);

  bool HasOnSearch() const;
  bool HasRead() const;

  // Derived names.
  uint64_t IdWord() const { return info.pluginId; }
  uint32_t Id() const { return rk::core::SourceIndex(info.pluginId); }
  uint64_t Key() const { return rk::core::PluginKey(info.pluginId); }
  std::string_view DisplayStem() const;
  std::string TableName() const;
  bool IsLoaded() const { return handle != nullptr; }

  // Fields, in their documented order.
  void* handle = nullptr;
  rk::core::LoadFn load = nullptr;
  rk::core::UnloadFn unload = nullptr;
  rk::core::OpenFn open = nullptr;
  rk::core::CloseFn close = nullptr;
  rk::core::OnIpcResultFn onIpcResult = nullptr;
  rk::core::OnEventFn onEvent = nullptr;
  rk::core::OnSearchFn onSearch = nullptr;
  rk::core::ReadFn read = nullptr;
  rk::core::WriteFn write = nullptr;
  rk::core::IoctlFn ioctl = nullptr;
  PluginThread workerThread;
  PluginThread readerThread;
  rk::core::PluginInfo info{};
  std::string fileName;
  int32_t loadCode = 0;
  int32_t openCode = 0;
  int64_t loadTimeNs = 0;
  int64_t openTimeNs = 0;
  std::string errorText;
  // OnEvent deliveries so far: written by the dispatch thread alone, read by
  // any. The sampler that times some of them is set before the dispatch loop
  // starts (null: not timed).
  std::atomic<uint64_t> deliveries{0};
  OnEventSampler* onEventSampler = nullptr;

private:
  Plugin() = default;
  bool DeliverLegacy(const rk::core::EventParms& record); // IOCTL or Write
  void ForgetAll();
  void CloseLibrary(void* library);
  template <typename Call> int64_t Step(const char* step, Call call);
  void StartThread(PluginThread& thread, const char* kind, std::function<void()> call);

  PluginObserver* observer_ = nullptr; // set by Load, never changed
  mutable std::shared_mutex guard_;
};

} // namespace corvane
