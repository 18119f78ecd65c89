// A header-only C++ base for plug-ins (C++17, standard library only).
//
// Derive from rk::core::Plugin, override what the plug-in needs, and export
// the entry points with one macro:
//
//   class Gate : public rk::core::Plugin {
//   public:
//     Gate() : Plugin(0x73, "gate") {}
//     int32_t OnLoad(rk::core::PluginInfo& info) override { info.workerFlag = 1; return 0; }
//     void Run(const rk::core::StopToken& stop) override {
//       while (!stop.WaitFor(std::chrono::seconds(1))) PostAlarm("<Varn><Gate/></Varn>");
//     }
//   };
//   RK_PLUGIN(Gate)              // or RK_PLUGIN_PROVIDER(Gate) to answer searches
//
// The C interface (plugin_api.h) stays complete on its own; this class only
// fills its records and routes its calls.
//
// Which thread calls what:
//   constructor, OnLoad        main thread, inside Load (the object is made there)
//   OnOpen, OnClose            main thread
//   destructor                 main thread, inside Unload
//   Run                        the core's worker thread for this plug-in (when
//                              OnLoad set workerFlag), after OnOpen returned;
//                              skipped when Close comes first. Return once
//                              `stop` is set: Close sets it before OnClose is
//                              called, and so does a live post answered 1 (the
//                              core is stopping). The core joins this thread
//                              after every plug-in is closed.
//   OnEvent                    the dispatch thread; keep it short, never block
//   OnSearch                   one search thread per search (RK_PLUGIN_PROVIDER)
//   OnIpc                      the I/O thread, from Load until Unload
//   Post*, Log, Payload        any thread
// Every entry point catches exceptions: a throwing OnLoad fails the load, the
// others are logged at Error and answered as "nothing done".
#ifndef RK_CORE_PLUGIN_HPP
#define RK_CORE_PLUGIN_HPP

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "rk/core/sdk.h"
#include "rk/core/xml_attribute.hpp"

namespace rk::core {

// Set once, by Close or by a refused live post; waited on by the worker.
// Thread-safe; owned by the Plugin.
class StopToken {
public:
  bool StopRequested() const { return stopped_.load(std::memory_order_acquire); }
  // Sleeps for `d` or until the stop is requested; true when it was.
  template <typename Rep, typename Period>
  bool WaitFor(std::chrono::duration<Rep, Period> d) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, d, [this] { return StopRequested(); });
  }
  template <typename Clock, typename Duration>
  bool WaitUntil(std::chrono::time_point<Clock, Duration> t) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, t, [this] { return StopRequested(); });
  }
  void Wait() const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return StopRequested(); });
  }
  void RequestStop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
  }

private:
  std::atomic<bool> stopped_{false};
  mutable std::mutex mutex_; // pairs with changed_; guards no data of its own
  mutable std::condition_variable changed_;
};

// One kept reference to a delivered payload. Destroying it (or Release) posts
// the decref; move-only. Holds a copy of the record it came with, so the
// keeper still has the time stamps and the media description.
class Payload {
public:
  Payload() = default;
  Payload(PostEventFn post, uint64_t owner, const EventParms& record)
      : post_(post), owner_(owner), record_(record) {}
  Payload(Payload&& other) noexcept { *this = std::move(other); }
  Payload& operator=(Payload&& other) noexcept {
    if (this != &other) {
      Release();
      post_ = std::exchange(other.post_, nullptr);
      owner_ = other.owner_;
      record_ = other.record_;
    }
    return *this;
  }
  Payload(const Payload&) = delete;
  Payload& operator=(const Payload&) = delete;
  ~Payload() { Release(); }

  explicit operator bool() const { return post_ != nullptr; }
  const void* data() const { return record_.data; }
  uint32_t size() const { return record_.length; }
  std::string_view view() const {
    return {static_cast<const char*>(record_.data), record_.data ? record_.length : 0u};
  }
  const EventParms& record() const { return record_; }

  void Release() {
    if (post_ == nullptr) return;
    EventParms decref;
    InitEvent(decref);
    decref.type = RK_TYPE_DECREF;
    decref.source = owner_;
    decref.data = record_.data; // exactly the pointer the core gave
    std::exchange(post_, nullptr)(&decref);
  }

private:
  PostEventFn post_ = nullptr; // null: empty or released
  uint64_t owner_ = 0;
  EventParms record_{};
};

// What OnEvent receives besides the record: the way to keep its payload.
class Delivery {
public:
  Delivery(PostEventFn post, uint64_t owner, const EventParms& record)
      : post_(post), owner_(owner), record_(record) {}
  // Takes one reference to the payload (once per delivery; an empty handle
  // for a record without payload or a second call).
  Payload Keep() {
    if (kept_ || record_.data == nullptr) return {};
    kept_ = true;
    return Payload(post_, owner_, record_);
  }
  bool kept() const { return kept_; }

private:
  PostEventFn post_;
  uint64_t owner_;
  const EventParms& record_;
  bool kept_ = false;
};

// One access unit and its media description (the media conventions).
struct MediaFrame {
  const void* data = nullptr;
  uint32_t length = 0;
  uint32_t camera = 1; // 1-65535 within the sending plug-in
  uint32_t codec = RK_CODEC_H264;
  uint16_t width = 0, height = 0; // 0 for audio
  bool key = false;
  int64_t pts = 0;           // 90 kHz for video, the sample rate for audio
  int64_t captureMicros = 0; // UTC; 0 = now
};

// The frame a media record carries (payload valid as long as the record's).
inline MediaFrame FrameOf(const EventParms& e) {
  const MediaInfo& info = MediaInfoOf(e);
  MediaFrame f;
  f.data = e.data;
  f.length = e.length;
  f.camera = info.camera;
  f.codec = info.codec;
  f.width = info.width;
  f.height = info.height;
  f.key = IsKeyFrame(e);
  f.pts = info.pts;
  f.captureMicros = info.captureMicros;
  return f;
}

inline int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class Plugin {
public:
  // Log levels: any value is allowed, these are the named ones.
  static constexpr int32_t kDebug = 0, kInfo = 25, kWarning = 50, kError = 75, kCritical = 100;

  // `id`: the one-byte plug-in id (bits 16-23 of the id word); `name` prefixes
  // every log line.
  Plugin(uint8_t id, std::string name) : idWord_(RK_ID_WORD(id)), name_(std::move(name)) {}
  virtual ~Plugin() = default;
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // Fill accept words and flags; size, version and pluginId are already set.
  // Nonzero: the core drops the plug-in.
  virtual int32_t OnLoad(PluginInfo& info) {
    (void)info;
    return 0;
  }
  virtual void OnOpen() {}
  // After the stop token is set; release kept payloads here.
  virtual void OnClose() {}
  virtual void Run(const StopToken& stop) { stop.Wait(); }
  virtual void OnEvent(const EventParms& e, Delivery& delivery) {
    (void)e;
    (void)delivery;
  }
  // `request->request` is the search id; answer with PostStored*/PostSearchEnd
  // before returning; stop when they answer 1 (cancelled).
  virtual void OnSearch(const EventParms& request) { (void)request; }
  virtual void OnIpc(const void* packet, uint32_t length) {
    (void)packet;
    (void)length;
  }

  uint64_t IdWord() const { return idWord_; }
  const std::string& Name() const { return name_; }
  const StopToken& Stop() const { return stop_; }
  PostEventFn PostFn() const { return post_; }
  // Log lines also go to the core's console (RK_FLAG_CONSOLE).
  void EchoLogToConsole(bool on) { logFlags_.store(on ? RK_FLAG_CONSOLE : 0); }

  // Posts a complete record as this plug-in: sets `source`. A live record
  // answered 1 means the core stops: the stop token is set.
  uint32_t Post(EventParms& e) {
    e.source = idWord_;
    const uint32_t result = post_(&e);
    if (result == RK_POST_REFUSED && (e.flags & kLive) != 0 && BaseType(e) != RK_TYPE_LOG)
      stop_.RequestStop();
    return result;
  }

  // "name: text" at `level`, printf-style.
  __attribute__((format(printf, 3, 4))) void Log(int32_t level, const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return;
    std::string text = name_ + ": ";
    if (static_cast<size_t>(n) < sizeof small) {
      text.append(small, static_cast<size_t>(n));
    } else {
      std::string big(static_cast<size_t>(n) + 1, '\0');
      va_start(args, format);
      std::vsnprintf(big.data(), big.size(), format, args);
      va_end(args);
      text.append(big.data(), static_cast<size_t>(n));
    }
    LogEvt e;
    e.flags |= logFlags_.load();
    e.level = static_cast<uint32_t>(level);
    e.data = text.data();
    e.length = static_cast<uint32_t>(text.size());
    Post(e);
  }

  uint32_t PostVideo(const MediaFrame& f, bool output = false) {
    VideoEvt e;
    if (output) e.media.mediaFlags = RK_MEDIA_OUTPUT;
    return Post(Fill(e, f));
  }
  uint32_t PostAudio(const MediaFrame& f) {
    AudioEvt e;
    return Post(Fill(e, f));
  }
  // Search results: `request` is the search id; 1 = cancelled, stop.
  uint32_t PostStoredVideo(uint64_t request, const MediaFrame& f) {
    StoredVideoEvt e;
    e.request = request;
    return Post(Fill(e, f));
  }
  uint32_t PostStoredAudio(uint64_t request, const MediaFrame& f) {
    StoredAudioEvt e;
    e.request = request;
    return Post(Fill(e, f));
  }
  // The end of a media search's results of `type` (video or audio).
  uint32_t PostSearchEnd(uint64_t request, uint64_t type = RK_TYPE_VIDEO) {
    EventParms e;
    InitEvent(e);
    e.type = type;
    e.flags = kStored;
    e.request = request;
    MediaInfoOf(e).mediaInfoFlags = RK_MEDIA_INFO_END;
    return Post(e);
  }
  uint32_t PostAlarm(std::string_view xml) {
    AlarmEvt e;
    return PostText(e, xml);
  }
  uint32_t PostStoredAlarm(uint64_t request, std::string_view xml) {
    StoredAlarmEvt e;
    e.request = request;
    return PostText(e, xml);
  }
  // The camera state alarm; `reason` only for offline.
  uint32_t PostCameraState(uint32_t camera, std::string_view cameraName, bool online,
                           std::string_view reason = {}) {
    std::string xml = "<?xml version=\"1.0\"?><Varn><Camera Number=\"" + std::to_string(camera) +
                      "\" Name=\"" + XmlAttribute(cameraName) + "\" State=\"" +
                      (online ? "online\"" : "offline\"");
    if (!online) xml += " Reason=\"" + XmlAttribute(reason) + "\"";
    xml += "/></Varn>";
    return PostAlarm(xml);
  }
  // A whole packet for the parent daemon, header included.
  uint32_t PostIpc(const void* packet, uint32_t length) {
    EventParms e;
    InitEvent(e);
    e.type = RK_TYPE_IPC;
    e.data = packet;
    e.length = length;
    return Post(e);
  }

  // Called by the entry points RK_PLUGIN exports; not for plug-in code.
  int32_t EnterLoad(const LoadParams& params, PluginInfo& info) {
    post_ = params.postEvent;
    info.pluginId = idWord_;
    return OnLoad(info);
  }
  void EnterOpen() {
    OnOpen();
    {
      std::lock_guard<std::mutex> lock(phaseMutex_);
      opened_ = true;
    }
    phaseChanged_.notify_all();
  }
  void EnterClose() {
    stop_.RequestStop();
    { std::lock_guard<std::mutex> lock(phaseMutex_); } // the worker waits under it
    phaseChanged_.notify_all();
    OnClose();
  }
  void EnterWorker() {
    {
      std::unique_lock<std::mutex> lock(phaseMutex_);
      phaseChanged_.wait(lock, [this] { return opened_ || stop_.StopRequested(); });
      if (!opened_) return;
    }
    Run(stop_);
  }
  uint8_t EnterEvent(const EventParms& e) {
    Delivery delivery(post_, idWord_, e);
    OnEvent(e, delivery);
    return delivery.kept() ? 1 : 0;
  }

private:
  template <typename Record> EventParms& Fill(Record& e, const MediaFrame& f) {
    const int64_t micros = f.captureMicros != 0 ? f.captureMicros : NowMicros();
    e.data = f.data;
    e.length = f.length;
    e.media.seconds = static_cast<uint64_t>(micros / 1000000);
    e.media.milliseconds = static_cast<uint16_t>(micros / 1000 % 1000);
    e.media.frameType = f.key ? RK_FRAME_KEY : 2;
    MediaInfo& info = MediaInfoOf(e);
    info.camera = f.camera;
    info.codec = f.codec;
    info.width = f.width;
    info.height = f.height;
    info.pts = f.pts;
    info.captureMicros = micros;
    return e;
  }
  uint32_t PostText(EventParms& e, std::string_view text) {
    e.data = text.data();
    e.length = static_cast<uint32_t>(text.size());
    return Post(e);
  }

  const uint64_t idWord_;
  const std::string name_;
  PostEventFn post_ = nullptr; // set in Load, before any other thread exists
  std::atomic<uint64_t> logFlags_{0};
  StopToken stop_;
  std::mutex phaseMutex_; // guards opened_
  std::condition_variable phaseChanged_;
  bool opened_ = false;
};

namespace detail {
// The one instance, made in Load and destroyed in Unload (main thread); every
// other entry point runs between the two.
template <typename T> inline std::unique_ptr<T> instance;

inline void LogFailure(Plugin* plugin, const char* what) noexcept {
  try {
    if (plugin != nullptr) plugin->Log(Plugin::kError, "exception: %s", what);
  } catch (...) {
  }
}

template <typename T, typename F> int32_t Guard(F&& f, int32_t failed) noexcept {
  try {
    return f();
  } catch (const std::exception& error) {
    LogFailure(instance<T>.get(), error.what());
  } catch (...) {
    LogFailure(instance<T>.get(), "unknown");
  }
  return failed;
}
} // namespace detail
} // namespace rk::core

// Exports the entry points for plug-in class T (default-constructible).
#define RK_PLUGIN(T)                                                                               \
  RK_PLUGIN_EXPORT int32_t Load(const ::rk::core::LoadParams* p, ::rk::core::PluginInfo* i) {      \
    try {                                                                                          \
      ::rk::core::detail::instance<T> = std::make_unique<T>();                                     \
      const int32_t r = ::rk::core::detail::instance<T>->EnterLoad(*p, *i);                        \
      if (r != 0) ::rk::core::detail::instance<T>.reset();                                         \
      return r;                                                                                    \
    } catch (...) {                                                                                \
      ::rk::core::detail::instance<T>.reset();                                                     \
      return -1;                                                                                   \
    }                                                                                              \
  }                                                                                                \
  RK_PLUGIN_EXPORT int32_t Unload(const ::rk::core::UnloadParams*, ::rk::core::UnloadResult*) {    \
    return ::rk::core::detail::Guard<T>(                                                           \
        [] {                                                                                       \
          ::rk::core::detail::instance<T>.reset();                                                 \
          return 0;                                                                                \
        },                                                                                         \
        0);                                                                                        \
  }                                                                                                \
  RK_PLUGIN_EXPORT int32_t Open(const ::rk::core::OpenParams*, ::rk::core::OpenResult*) {          \
    return ::rk::core::detail::Guard<T>(                                                           \
        [] {                                                                                       \
          ::rk::core::detail::instance<T>->EnterOpen();                                            \
          return 0;                                                                                \
        },                                                                                         \
        -1);                                                                                       \
  }                                                                                                \
  RK_PLUGIN_EXPORT int32_t Close(const ::rk::core::CloseParams*, ::rk::core::CloseResult*) {       \
    return ::rk::core::detail::Guard<T>(                                                           \
        [] {                                                                                       \
          ::rk::core::detail::instance<T>->EnterClose();                                           \
          return 0;                                                                                \
        },                                                                                         \
        -1);                                                                                       \
  }                                                                                                \
  RK_PLUGIN_EXPORT int32_t IOCTL(const ::rk::core::IoctlParams* p, ::rk::core::IoctlResult*) {     \
    if (p == nullptr || p->code != RK_IOCTL_WORKER) return 0;                                      \
    return ::rk::core::detail::Guard<T>(                                                           \
        [] {                                                                                       \
          ::rk::core::detail::instance<T>->EnterWorker();                                          \
          return 0;                                                                                \
        },                                                                                         \
        -1);                                                                                       \
  }                                                                                                \
  RK_PLUGIN_EXPORT uint8_t OnEvent(const ::rk::core::EventParms* e,                                \
                                   const ::rk::core::EventParms*) {                                \
    return static_cast<uint8_t>(::rk::core::detail::Guard<T>(                                      \
        [e] { return static_cast<int32_t>(::rk::core::detail::instance<T>->EnterEvent(*e)); },     \
        0));                                                                                       \
  }                                                                                                \
  RK_PLUGIN_EXPORT int32_t OnIpcResult(const void* packet, uint32_t length) {                      \
    return ::rk::core::detail::Guard<T>(                                                           \
        [packet, length] {                                                                         \
          ::rk::core::detail::instance<T>->OnIpc(packet, length);                                  \
          return 0;                                                                                \
        },                                                                                         \
        -1);                                                                                       \
  }

// RK_PLUGIN plus OnSearch: the plug-in provides stored data.
#define RK_PLUGIN_PROVIDER(T)                                                                      \
  RK_PLUGIN(T)                                                                                     \
  RK_PLUGIN_EXPORT int32_t OnSearch(const ::rk::core::EventParms* r,                               \
                                    const ::rk::core::EventParms*) {                               \
    return ::rk::core::detail::Guard<T>(                                                           \
        [r] {                                                                                      \
          ::rk::core::detail::instance<T>->OnSearch(*r);                                           \
          return 0;                                                                                \
        },                                                                                         \
        -1);                                                                                       \
  }

#endif // RK_CORE_PLUGIN_HPP
