#include "pluginhost/plugin.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <fmt/format.h>
#include <mutex>

#include "util/file_name.h"

namespace corvane {

using namespace rk::core;

namespace {

template <typename Fn> Fn Symbol(void* handle, const char* name) {
  if (handle == nullptr) return nullptr;
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

} // namespace

template <typename Call> int64_t Plugin::Step(const char* step, Call call) {
  if (observer_ == nullptr) return call();
  observer_->Enter(step);
  const int64_t t0 = NowNs();
  const int64_t code = call();
  observer_->Leave(step, code, NowNs() - t0);
  return code;
}

void Plugin::StartThread(PluginThread& thread, const char* kind, std::function<void()> call) {
  if (observer_ != nullptr) observer_->ThreadStarting(kind);
  thread.Start([observer = observer_, kind, call = std::move(call)] {
    if (observer != nullptr) observer->InThread(kind);
    call();
    if (observer != nullptr) observer->ThreadReturned(kind);
  });
}

void Plugin::CloseLibrary(void* library) {
  Step("dlclose", [&] { return dlclose(library); });
}

std::shared_ptr<Plugin> Plugin::Load(const std::string& path, PostEventFn postEvent,
                                     const std::string& hostId, PluginObserver* observer) {
  std::shared_ptr<Plugin> plugin(new Plugin());
  plugin->observer_ = observer;
  const size_t slash = path.find_last_of('/');
  plugin->fileName = slash == std::string::npos ? path : path.substr(slash + 1);
  plugin->info = MakeRecord<PluginInfo>();

  plugin->Step("dlopen", [&] {
    plugin->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return plugin->handle != nullptr ? RK_LOAD_OK : RK_LOAD_DLOPEN_FAILED;
  });
  if (plugin->handle == nullptr) {
    const char* reason = dlerror();
    plugin->loadCode = RK_LOAD_DLOPEN_FAILED;
    plugin->errorText = reason != nullptr ? reason : "unknown";
    return plugin;
  }
  if (observer != nullptr) observer->LibraryOpened(plugin->handle);
  plugin->load = Symbol<LoadFn>(plugin->handle, "Load");
  plugin->unload = Symbol<UnloadFn>(plugin->handle, "Unload");
  if (plugin->load == nullptr || plugin->unload == nullptr) {
    plugin->loadCode = RK_LOAD_MISSING_ENTRY;
    plugin->errorText = "missing Load()/Unload()";
  } else {
    auto params = MakeRecord<LoadParams>();
    params.postEvent = postEvent;
    params.hostId = hostId.c_str();
    params.hostIdLength = static_cast<uint32_t>(hostId.size());
    const int64_t t0 = NowNs();
    plugin->loadCode = static_cast<int32_t>(
        plugin->Step("Load", [&] { return plugin->load(&params, &plugin->info); }));
    plugin->loadTimeNs = NowNs() - t0;
    if (observer != nullptr) observer->InfoFilled(plugin->info);
    if (plugin->loadCode == RK_LOAD_OK) {
      plugin->onIpcResult = Symbol<OnIpcResultFn>(plugin->handle, "OnIpcResult");
      plugin->ioctl = Symbol<IoctlFn>(plugin->handle, "IOCTL");
      return plugin;
    }
    plugin->errorText = fmt::format("load code {}", plugin->loadCode);
  }
  // A failed Load never gets Unload.
  plugin->ForgetAll();
  plugin->CloseLibrary(plugin->handle);
  plugin->handle = nullptr;
  return plugin;
}

Plugin::~Plugin() {
  Close();
  Unload();
}

void Plugin::Open() {
  if (open != nullptr) return;
  auto openFn = Symbol<OpenFn>(handle, "Open");
  auto closeFn = Symbol<CloseFn>(handle, "Close");
  if (openFn == nullptr || closeFn == nullptr) {
    openCode = RK_OPEN_MISSING_ENTRY;
    errorText = "missing Open()/Close()";
    return;
  }
  {
    std::unique_lock lock(guard_);
    open = openFn;
    close = closeFn;
    onEvent = Symbol<OnEventFn>(handle, "OnEvent");
    onSearch = Symbol<OnSearchFn>(handle, "OnSearch");
    read = Symbol<ReadFn>(handle, "Read");
    write = Symbol<WriteFn>(handle, "Write");
  }
  auto params = MakeRecord<OpenParams>();
  auto result = MakeRecord<OpenResult>();
  const int64_t t0 = NowNs();
  // The open code is the plug-in's business: the core records only whether
  // the entry points were there.
  (void)Step("Open", [&] { return openFn(&params, &result); });
  openTimeNs = NowNs() - t0;
  StartAsyncReaderIf();
}

void Plugin::ProvideWorkerThreadIf() {
  if (ioctl == nullptr || info.workerFlag == 0 || workerThread.Joinable()) return;
  StartThread(workerThread, "worker", [fn = ioctl] {
    auto params = MakeRecord<IoctlParams>();
    params.code = RK_IOCTL_WORKER;
    auto result = MakeRecord<IoctlResult>();
    result.code = RK_IOCTL_WORKER;
    fn(&params, &result);
  });
}

void Plugin::StartAsyncReaderIf() {
  if (read == nullptr || info.readerFlag == 0 || readerThread.Joinable()) return;
  StartThread(readerThread, "reader", [fn = read] {
    auto params = MakeRecord<ReadParams>();
    params.mode = 1;
    fn(&params, nullptr);
  });
}

void Plugin::Close() {
  CloseFn closeFn = nullptr;
  {
    std::unique_lock lock(guard_);
    closeFn = close;
    open = nullptr;
    close = nullptr;
    onEvent = nullptr;
    onSearch = nullptr;
    read = nullptr;
    write = nullptr;
  }
  if (closeFn == nullptr) return;
  auto params = MakeRecord<CloseParams>();
  auto result = MakeRecord<CloseResult>();
  Step("Close", [&] { return closeFn(&params, &result); });
}

void Plugin::Unload(const std::function<void(const char* call, long long seconds)>& stillWaiting) {
  const auto join = [&](PluginThread& thread, const char* call) {
    thread.Join([&stillWaiting, call](long long seconds) {
      if (stillWaiting) stillWaiting(call, seconds);
    });
    return 0;
  };
  if (readerThread.Joinable())
    Step("join-reader", [&] { return join(readerThread, "reader call (Read)"); });
  if (workerThread.Joinable())
    Step("join-worker", [&] { return join(workerThread, "worker call (IOCTL 1)"); });
  UnloadFn unloadFn = nullptr;
  void* library = nullptr;
  {
    std::unique_lock lock(guard_);
    unloadFn = unload;
    library = handle;
    ForgetAll();
    handle = nullptr;
  }
  if (unloadFn != nullptr) {
    auto params = MakeRecord<UnloadParams>();
    auto result = MakeRecord<UnloadResult>();
    Step("Unload", [&] { return unloadFn(&params, &result); });
  }
  if (library != nullptr && (observer_ == nullptr || observer_->MayCloseLibrary()))
    CloseLibrary(library);
}

void Plugin::ForgetAll() {
  load = nullptr;
  unload = nullptr;
  open = nullptr;
  close = nullptr;
  onIpcResult = nullptr;
  onEvent = nullptr;
  onSearch = nullptr;
  read = nullptr;
  write = nullptr;
  ioctl = nullptr;
}

bool Plugin::DeliverEventGuarded(const EventParms& record) {
  std::shared_lock lock(guard_);
  return DeliverEvent(record);
}

bool Plugin::DeliverLegacy(const EventParms& record) {
  if (record.type == RK_TYPE_CONFIG) {
    if (ioctl == nullptr) return false;
    auto params = MakeRecord<IoctlParams>();
    params.code = RK_IOCTL_CONFIG;
    params.length = record.length;
    params.data = record.data;
    auto result = MakeRecord<IoctlResult>();
    result.code = RK_IOCTL_CONFIG;
    ioctl(&params, &result);
    return result.keep != 0;
  }
  if (write != nullptr && info.writeFlag != 0) {
    auto params = MakeRecord<WriteParams>();
    static_assert(sizeof(WriteParams) - 16 == sizeof(EventParms) - 8);
    std::memcpy(&params.length, &record.length, sizeof(EventParms) - 8);
    params.reserved20 = 0; // whatever the poster left in the record's gap
    auto result = MakeRecord<WriteResult>();
    write(&params, &result, record.type);
    return result.keep != 0;
  }
  return false;
}

void Plugin::DeliverSearch(const EventParms& request) {
  std::shared_lock lock(guard_);
  if (onSearch != nullptr) {
    onSearch(&request, &request);
  } else if (read != nullptr && info.readerFlag != 0) {
    auto params = MakeRecord<ReadParams>();
    params.mode = 1;
    params.length = request.length;
    params.data = request.data;
    params.request = request.request;
    read(&params, nullptr);
  }
}

void Plugin::DeliverIpc(const void* packet, uint32_t length) {
  std::shared_lock lock(guard_);
  if (onIpcResult != nullptr) {
    onIpcResult(packet, length);
  } else if (ioctl != nullptr) {
    auto params = MakeRecord<IoctlParams>();
    params.code = RK_IOCTL_IPC;
    params.length = length;
    params.data = packet;
    auto result = MakeRecord<IoctlResult>();
    result.code = RK_IOCTL_IPC;
    ioctl(&params, &result);
  }
}

bool Plugin::HasOnSearch() const {
  std::shared_lock lock(guard_);
  return onSearch != nullptr;
}

bool Plugin::HasRead() const {
  std::shared_lock lock(guard_);
  return read != nullptr;
}

std::string_view Plugin::DisplayStem() const {
  return corvane::DisplayStem(fileName);
}

std::string Plugin::TableName() const {
  const size_t dot = fileName.find_last_of('.');
  std::string name = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

} // namespace corvane
