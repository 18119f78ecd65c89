// The probe: one configurable test plug-in, built under several names with
// entry points left out by compile definitions (PROBE_NO_OPEN, ...).
//
// Configuration: "<file name>.cfg" in the working directory, one "key value"
// per line (see Config below). Every call it receives is appended as one line
// to "<file name>.calls": "<Entry> tid=<id> key=value ...". With "control 1"
// it serves "<file name>.sock" (UNIX stream, one line per command, one line
// per answer) so a scenario can make it post while the core runs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "rk/core/sdk.h"

using namespace rk::core;

namespace {

std::string Hex(const void* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::vector<uint8_t> Unhex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

// Printable bytes as they are, anything else (spaces included) as \xNN.
[[maybe_unused]] std::string Escaped(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c > ' ' && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

uint64_t Num(const std::string& text) {
  return std::strtoull(text.c_str(), nullptr, 0);
}

struct Probe {
  std::string name; // own file name, e.g. "a.so"
  std::map<std::string, std::string> cfg;
  PostEventFn post = nullptr;
  uint64_t id = kIdNone;
  std::mutex callsMutex;
  int callsFd = -1;

  std::mutex stateMutex; // guards kept and closed; signals changed
  std::condition_variable changed;
  std::deque<const void*> kept;
  bool closed = false;
  bool unloading = false;

  std::thread control;
  std::thread releaser;
  std::thread spammer;
  std::vector<std::thread> stormers;

  // Stress traffic. Each storm payload starts with "STRM", the poster's id
  // index, its thread and a sequence number; posters note which sequence
  // numbers were accepted, a "tally" probe which ones arrived.
  std::mutex stormMutex; // guards accepted and tally
  std::map<std::string, std::vector<uint32_t>> accepted, tally;
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> afterCloseAccepted{0}, afterCloseRefused{0};
  int listenFd = -1;
  std::atomic<int> connectionFd{-1}; // the control connection being served

  std::string Get(const std::string& key, const std::string& fallback = "") {
    std::lock_guard lock(stateMutex);
    auto it = cfg.find(key);
    return it == cfg.end() ? fallback : it->second;
  }
  uint64_t GetNum(const std::string& key, uint64_t fallback = 0) {
    const std::string v = Get(key);
    return v.empty() ? fallback : Num(v);
  }
  void Set(const std::string& key, const std::string& value) {
    std::lock_guard lock(stateMutex);
    cfg[key] = value;
  }

  void Record(const std::string& line) {
    std::string text = line + " tid=" + std::to_string(syscall(SYS_gettid)) + "\n";
    std::lock_guard lock(callsMutex);
    if (callsFd >= 0) (void)!::write(callsFd, text.data(), text.size());
  }

  void Sleep(const std::string& key) {
    const uint64_t ms = GetNum(key);
    if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  // "post_everywhere": every entry point posts an alarm naming itself.
  void PostFromEntry(const char* entry) {
    if (GetNum("post_everywhere") && post)
      Record(std::string("EntryPost entry=") + entry + " " +
             Command(std::string("post type=4 text=") + entry));
  }

  static std::string Describe(const EventParms& e) {
    char head[256];
    std::snprintf(head, sizeof head,
                  "type=0x%llx flags=0x%llx source=0x%llx request=0x%llx len=%u level=%llu ptr=%p",
                  (unsigned long long)e.type, (unsigned long long)e.flags,
                  (unsigned long long)e.source, (unsigned long long)e.request, e.length,
                  (unsigned long long)e.level, e.data);
    std::string text = head;
    if (e.data && e.length) {
      const size_t shown = e.length < 4096 ? e.length : 4096;
      text += " data=" + Hex(e.data, shown);
    }
    return text;
  }

  // Posts per the command's key=value pairs; answers the callback's result.
  uint32_t PostFrom(const std::map<std::string, std::string>& kv, std::vector<uint8_t>& payload,
                    EventParms& e) {
    InitEvent(e);
    auto get = [&](const char* k, uint64_t d) {
      auto it = kv.find(k);
      return it == kv.end() ? d : Num(it->second);
    };
    e.type = get("type", RK_TYPE_ALARM);
    e.flags = get("flags", kLive);
    e.source = get("source", id);
    e.request = get("request", 0);
    e.level = get("level", 0);
    e.media.mediaFlags = static_cast<uint8_t>(get("mflags", 0));
    if (kv.count("hex")) payload = Unhex(kv.at("hex"));
    if (kv.count("text")) payload.assign(kv.at("text").begin(), kv.at("text").end());
    if (kv.count("fill")) payload.assign(get("len", 0), static_cast<uint8_t>(get("fill", 0)));
    e.data = payload.empty() ? nullptr : payload.data();
    e.length = static_cast<uint32_t>(get("len", payload.size()));
    if (kv.count("nulldata")) e.data = nullptr;
    return post(&e);
  }

  std::string Command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    std::map<std::string, std::string> kv;
    std::string word;
    while (in >> word) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos)
        kv[word.substr(0, eq)] = word.substr(eq + 1);
      else
        kv[word] = "1";
    }
    if (verb == "post") {
      std::vector<uint8_t> payload;
      EventParms e;
      const uint32_t n = kv.count("repeat") ? static_cast<uint32_t>(Num(kv["repeat"])) : 1;
      uint32_t ret = 0;
      for (uint32_t i = 0; i < n; ++i) ret = PostFrom(kv, payload, e);
      return "ret=" + std::to_string(ret);
    }
    if (verb == "crypto") {
      // op=2|1024 cap=N hex=... : the buffer is cap bytes, valid = hex length.
      std::vector<uint8_t> input = Unhex(kv["hex"]);
      const size_t cap = kv.count("cap") ? Num(kv["cap"]) : input.size();
      std::vector<uint8_t> buffer(cap + 64, 0xEE);
      if (!input.empty())
        std::memcpy(buffer.data(), input.data(), std::min(input.size(), buffer.size()));
      EventParms e;
      InitEvent(e);
      e.type = RK_TYPE_CRYPTO;
      e.source = id;
      e.flags = Num(kv["op"]);
      e.length = static_cast<uint32_t>(cap);
      e.data = cap ? buffer.data() : nullptr;
      if (cap == 0 && kv.count("withbuffer")) e.data = buffer.data();
      e.level = kv.count("valid") ? Num(kv["valid"]) : input.size();
      const uint32_t ret = post(&e);
      return "ret=" + std::to_string(ret) + " flags=" + std::to_string(e.flags) +
             " valid=" + std::to_string(e.level) + " out=" + Hex(buffer.data(), cap) +
             " guard=" + Hex(buffer.data() + cap, 4);
    }
    if (verb == "release") return "released=" + std::to_string(ReleaseAll());
    if (verb == "kept") {
      std::lock_guard lock(stateMutex);
      return "kept=" + std::to_string(kept.size());
    }
    if (verb == "storm") {
      // storm threads=T count=N big=K: T threads of N records each.
      const auto threads = static_cast<uint32_t>(Num(kv["threads"]));
      const auto count = static_cast<uint32_t>(Num(kv["count"]));
      const auto big = static_cast<uint32_t>(Num(kv["big"]));
      std::lock_guard lock(stormMutex);
      for (uint32_t t = 0; t < threads; ++t)
        stormers.emplace_back([this, t, count, big] { Storm(t, count, big); });
      return "ok";
    }
    if (verb == "set") {
      for (auto& [k, v] : kv) Set(k, v);
      return "ok";
    }
    return "error=unknown";
  }

  // Gives back every payload kept so far; the count released.
  size_t ReleaseAll() {
    std::deque<const void*> all;
    {
      std::lock_guard lock(stateMutex);
      all.swap(kept);
    }
    for (const void* p : all) Decref(p);
    return all.size();
  }

  void Decref(const void* p) {
    EventParms e;
    InitEvent(e);
    e.type = RK_TYPE_DECREF;
    e.source = id;
    e.data = p;
    post(&e);
  }

  void Serve() {
    for (;;) {
      const int fd = ::accept(listenFd, nullptr, nullptr);
      if (fd < 0) return;
      connectionFd.store(fd);
      std::string buffer;
      char chunk[4096];
      for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer.append(chunk, n);
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
          const std::string reply = Command(buffer.substr(0, nl)) + "\n";
          buffer.erase(0, nl + 1);
          (void)!::write(fd, reply.data(), reply.size());
        }
      }
      connectionFd.store(-1);
      ::close(fd);
    }
  }

  void StartControl() {
    const std::string path = name + ".sock";
    ::unlink(path.c_str());
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd, 4) != 0) {
      Record("ControlFailed");
      return;
    }
    control = std::thread([this] { Serve(); });
  }

  // Releases kept payloads after "release_after_ms", oldest first.
  void ReleaseLater() {
    std::unique_lock lock(stateMutex);
    for (;;) {
      changed.wait(lock, [&] { return unloading || !kept.empty(); });
      if (unloading) return;
      const auto ms = std::strtoull(cfg["release_after_ms"].c_str(), nullptr, 0);
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      lock.lock();
      if (kept.empty()) continue;
      if (cfg["release_all"] == "1") {
        lock.unlock();
        ReleaseAll();
        lock.lock();
        continue;
      }
      const void* p = kept.front();
      kept.pop_front();
      lock.unlock();
      Record("Release ptr=" + Hex(&p, sizeof p));
      Decref(p);
      lock.lock();
    }
  }

  void Keep(const void* p) {
    {
      std::lock_guard lock(stateMutex);
      kept.push_back(p);
    }
    changed.notify_all();
  }

  // The worker and reader calls last until Close; a probe that is never
  // opened (or closed) gives up after "worker_wait_ms" (3 s by default).
  void WaitClosed() {
    const auto limit = std::chrono::milliseconds(GetNum("worker_wait_ms", 3000));
    std::unique_lock lock(stateMutex);
    changed.wait_for(lock, limit, [&] { return closed || unloading; });
  }

  // Blocks until the file named by `key` exists in the working directory
  // (a scenario's go-ahead), for at most 60 s.
  void WaitForFile(const std::string& key) {
    const std::string file = Get(key);
    if (file.empty()) return;
    for (int i = 0; i < 6000 && ::access(file.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // Posts `count` storm records from one thread: small alarms, and every
  // `big`-th one a 40 KB live video frame. Stops early once the probe closes.
  void Storm(uint32_t thread, uint32_t count, uint32_t big) {
    std::vector<uint8_t> payload(40960);
    std::vector<uint32_t> mine;
    uint64_t no = 0;
    const uint32_t index = static_cast<uint32_t>((id >> 16) & 0xFF);
    for (uint32_t seq = 0; seq < count; ++seq) {
      {
        std::lock_guard lock(stateMutex);
        if (closed || unloading) break;
      }
      const bool large = big && seq % big == big - 1;
      std::memcpy(payload.data(), "STRM", 4);
      std::memcpy(payload.data() + 4, &index, 4);
      std::memcpy(payload.data() + 8, &thread, 4);
      std::memcpy(payload.data() + 12, &seq, 4);
      EventParms e;
      InitEvent(e);
      e.type = large ? RK_TYPE_VIDEO : RK_TYPE_ALARM;
      e.flags = kLive;
      e.source = id;
      e.data = payload.data();
      e.length = large ? 40960 : 32;
      if (post(&e) == 0)
        mine.push_back(seq);
      else
        ++no;
    }
    refused += no;
    std::lock_guard lock(stormMutex);
    accepted[std::to_string(index) + "." + std::to_string(thread)] = std::move(mine);
  }

  // Notes a storm record; false for any other payload.
  bool Tally(const EventParms& e) {
    if (!e.data || e.length < 16 || std::memcmp(e.data, "STRM", 4) != 0) return false;
    uint32_t words[3];
    std::memcpy(words, static_cast<const uint8_t*>(e.data) + 4, sizeof words);
    std::lock_guard lock(stormMutex);
    tally[std::to_string(words[0]) + "." + std::to_string(words[1])].push_back(words[2]);
    return true;
  }

  // "a-b,c,..." of sorted numbers; "dups=N" counts repeats.
  static std::string Ranges(std::vector<uint32_t> numbers, size_t& dups) {
    std::sort(numbers.begin(), numbers.end());
    const size_t all = numbers.size();
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    dups = all - numbers.size();
    std::string out;
    for (size_t i = 0; i < numbers.size();) {
      size_t j = i;
      while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
      if (!out.empty()) out += ',';
      out += std::to_string(numbers[i]);
      if (j > i) out += "-" + std::to_string(numbers[j]);
      i = j + 1;
    }
    return out.empty() ? "none" : out;
  }

  void RecordStorm() {
    std::lock_guard lock(stormMutex);
    size_t dups = 0;
    for (auto& [key, seqs] : accepted)
      Record("Storm key=" + key + " count=" + std::to_string(seqs.size()) +
             " seqs=" + Ranges(seqs, dups) + " refused=" + std::to_string(refused.load()));
    for (auto& [key, seqs] : tally) {
      const std::string ranges = Ranges(seqs, dups);
      Record("Tally key=" + key + " count=" + std::to_string(seqs.size()) +
             " dups=" + std::to_string(dups) + " seqs=" + ranges);
    }
  }

  // Posts a small alarm every millisecond from Open until Unload, through
  // Close and after it.
  void Spam() {
    for (;;) {
      bool wasClosed;
      {
        std::lock_guard lock(stateMutex);
        if (unloading) return;
        wasClosed = closed;
      }
      EventParms e;
      InitEvent(e);
      e.type = RK_TYPE_ALARM;
      e.flags = kLive;
      e.source = id;
      static const char text[] = "spam";
      e.data = text;
      e.length = 4;
      const uint32_t ret = post(&e);
      if (wasClosed) ++(ret == 0 ? afterCloseAccepted : afterCloseRefused);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // "fd:target,..." for every descriptor open in the process.
  static std::string OpenDescriptors() {
    std::string out;
    for (int fd = 0; fd < 1024; ++fd) {
      char link[64], target[256];
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
      const ssize_t n = ::readlink(link, target, sizeof target - 1);
      if (n <= 0) continue;
      if (!out.empty()) out += ',';
      out += std::to_string(fd) + ":" + std::string(target, static_cast<size_t>(n));
    }
    return out;
  }
};

Probe probe;

std::string OwnName() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&OwnName), &info);
  std::string path = info.dli_fname ? info.dli_fname : "probe.so";
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

#ifndef PROBE_NO_LOAD
RK_PLUGIN_EXPORT int32_t Load(const LoadParams* params, PluginInfo* info) {
  probe.name = OwnName();
  if (FILE* f = std::fopen((probe.name + ".cfg").c_str(), "r")) {
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
      std::istringstream in(line);
      std::string key, value;
      if (in >> key) {
        std::getline(in >> std::ws, value);
        probe.cfg[key] = value;
      }
    }
    std::fclose(f);
  }
  probe.callsFd =
      ::open((probe.name + ".calls").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  probe.post = params->postEvent;
  probe.id = probe.GetNum("id", RK_ID_NONE);
  info->pluginId = probe.id;
  info->acceptVideo = probe.GetNum("accept.video");
  info->acceptAudio = probe.GetNum("accept.audio");
  info->acceptAlarm = probe.GetNum("accept.alarm");
  info->acceptPtz = probe.GetNum("accept.ptz");
  info->acceptSerial = probe.GetNum("accept.serial");
  info->acceptWatchdog = probe.GetNum("accept.watchdog");
  info->acceptLog = probe.GetNum("accept.log");
  info->acceptConfig = probe.GetNum("accept.config");
  info->acceptPos = probe.GetNum("accept.pos");
  info->acceptAnalytic = probe.GetNum("accept.analytic");
  info->workerFlag = static_cast<uint8_t>(probe.GetNum("worker"));
  info->readerFlag = static_cast<uint8_t>(probe.GetNum("reader"));
  info->writeFlag = static_cast<uint8_t>(probe.GetNum("write"));
  probe.Record("Load size=" + std::to_string(params->size) +
               " version=" + std::to_string(params->version) +
               " hostid=" + Escaped(params->hostId, params->hostIdLength) +
               " infosize=" + std::to_string(info->size));
  if (probe.GetNum("list_fds")) probe.Record("Fds list=" + Probe::OpenDescriptors());
  probe.Sleep("load_ms");
  const int32_t result = static_cast<int32_t>(probe.GetNum("load_result"));
  probe.PostFromEntry("load");
  if (result == 0) {
    if (probe.GetNum("control")) probe.StartControl();
    if (probe.GetNum("release_after_ms"))
      probe.releaser = std::thread([] { probe.ReleaseLater(); });
  }
  return result;
}
#endif

#ifndef PROBE_NO_UNLOAD
RK_PLUGIN_EXPORT int32_t Unload(const UnloadParams* params, UnloadResult*) {
  probe.Record("Unload size=" + std::to_string(params->size));
  probe.WaitForFile("unload_wait_file");
  // A spammer gets to post a few times between Close and Unload.
  for (int i = 0;
       i < 500 && probe.GetNum("spam") && probe.afterCloseAccepted + probe.afterCloseRefused < 3;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard lock(probe.stateMutex);
    probe.unloading = true;
  }
  probe.changed.notify_all();
  if (probe.listenFd >= 0) {
    ::shutdown(probe.listenFd, SHUT_RDWR);
    const int connection = probe.connectionFd.load();
    if (connection >= 0) ::shutdown(connection, SHUT_RDWR);
    ::close(probe.listenFd);
  }
  if (probe.control.joinable()) probe.control.join();
  if (probe.releaser.joinable()) probe.releaser.join();
  if (probe.spammer.joinable()) probe.spammer.join();
  for (auto& t : probe.stormers) t.join();
  if (probe.GetNum("release_at_unload"))
    probe.Record("ReleasedAtUnload count=" + std::to_string(probe.ReleaseAll()));
  probe.RecordStorm();
  if (probe.GetNum("spam"))
    probe.Record("Spam after_close_accepted=" + std::to_string(probe.afterCloseAccepted.load()) +
                 " after_close_refused=" + std::to_string(probe.afterCloseRefused.load()));
  probe.PostFromEntry("unload");
  return 0;
}
#endif

#ifndef PROBE_NO_OPEN
RK_PLUGIN_EXPORT int32_t Open(const OpenParams* params, OpenResult*) {
  probe.Record("Open size=" + std::to_string(params->size));
  probe.Sleep("open_ms");
  if (probe.GetNum("post_in_entries")) probe.Command("post type=4 text=open");
  probe.PostFromEntry("open");
  if (probe.GetNum("spam")) probe.spammer = std::thread([] { probe.Spam(); });
  return 0;
}
#endif

#ifndef PROBE_NO_CLOSE
RK_PLUGIN_EXPORT int32_t Close(const CloseParams* params, CloseResult*) {
  probe.Record("Close size=" + std::to_string(params->size));
  probe.WaitForFile("close_wait_file");
  if (probe.GetNum("post_in_entries")) probe.Command("post type=4 text=close");
  probe.PostFromEntry("close");
  {
    std::lock_guard lock(probe.stateMutex);
    probe.closed = true;
  }
  probe.changed.notify_all();
  return 0;
}
#endif

#ifndef PROBE_NO_EVENT
RK_PLUGIN_EXPORT uint8_t OnEvent(const EventParms* e, const EventParms* again) {
  // "keep_type" narrows keeping to one type code.
  const uint64_t keepType = probe.GetNum("keep_type", ~0ULL);
  const bool keep =
      probe.GetNum("keep") != 0 && e->data != nullptr && (keepType == ~0ULL || keepType == e->type);
  // Storm records are only counted: a line each would swamp the calls file.
  if (probe.GetNum("tally") && probe.Tally(*e)) {
    if (keep) probe.Keep(e->data);
    return keep ? 1 : 0;
  }
  if (e->type != RK_TYPE_ALARM) probe.PostFromEntry("onevent");
  probe.Record("OnEvent " + Probe::Describe(*e) + " same=" + std::to_string(e == again) +
               " keep=" + std::to_string(keep));
  probe.Sleep("event_ms");
  if (probe.GetNum("post_in_entries") && Probe::Describe(*e).find("type=0x4 ") == std::string::npos)
    probe.Command("post type=16 text=onevent");
  if (keep) probe.Keep(e->data);
  return keep ? 1 : 0;
}
#endif

#ifndef PROBE_NO_SEARCH
RK_PLUGIN_EXPORT int32_t OnSearch(const EventParms* request, const EventParms*) {
  probe.Record("OnSearch " + Probe::Describe(*request));
  probe.PostFromEntry("onsearch");
  if (probe.GetNum("search_nested")) {
    std::string reply = probe.Command("post type=1 flags=0x1000000 source=0 request=0x99 text=x");
    probe.Record("SearchNested " + reply);
  }
  const uint64_t count = probe.GetNum("search_results");
  const uint64_t length = probe.GetNum("search_len", 64);
  for (uint64_t i = 0; i < count; ++i) {
    // search_wait_cancel: from the second result on, first ask (cancel query)
    // until the search is cancelled, for at most 30 s.
    if (i > 0 && probe.GetNum("search_wait_cancel")) {
      uint32_t cancelled = 0;
      for (int tries = 0; tries < 1500 && cancelled != 1; ++tries) {
        EventParms query;
        InitEvent(query);
        query.type = RK_TYPE_CANCEL;
        query.flags = RK_FLAG_QUERY;
        query.source = probe.id;
        query.request = request->request;
        cancelled = probe.post(&query);
        if (cancelled != 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      probe.Record("SearchQuery i=" + std::to_string(i) + " ret=" + std::to_string(cancelled));
    }
    std::vector<uint8_t> payload(length, static_cast<uint8_t>(i + 1));
    EventParms e;
    InitEvent(e);
    e.type = probe.GetNum("search_type", RK_TYPE_VIDEO);
    e.flags = kStored;
    e.source = probe.id;
    e.request = request->request;
    e.data = length ? payload.data() : nullptr;
    e.length = static_cast<uint32_t>(length);
    const auto t0 = std::chrono::steady_clock::now();
    const uint32_t ret = probe.post(&e);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    probe.Record("SearchPost i=" + std::to_string(i) + " ret=" + std::to_string(ret) +
                 " waited_ms=" + std::to_string(waited));
    probe.Sleep("search_gap_ms");
  }
  probe.Sleep("search_ms");
  probe.Record("SearchDone");
  return 0;
}
#endif

#ifndef PROBE_NO_READ
RK_PLUGIN_EXPORT int32_t Read(const ReadParams* params, void* second) {
  probe.Record(
      "Read size=" + std::to_string(params->size) + " mode=" + std::to_string(params->mode) +
      " len=" + std::to_string(params->length) + " request=" + std::to_string(params->request) +
      " second=" + std::to_string(second != nullptr) +
      (params->data && params->length ? " data=" + Hex(params->data, params->length) : ""));
  probe.PostFromEntry("read");
  if (params->length == 0 && params->request == 0) probe.WaitClosed(); // reader thread
  probe.Record("ReadDone");
  return 0;
}
#endif

#ifndef PROBE_NO_WRITE
RK_PLUGIN_EXPORT int32_t Write(const WriteParams* params, WriteResult* result, uint64_t type) {
  probe.Record("Write size=" + std::to_string(params->size) + " argtype=" + std::to_string(type) +
               " type=" + std::to_string(params->type) + " len=" + std::to_string(params->length) +
               " source=" + std::to_string(params->source) +
               " partsize=" + std::to_string(params->partSize));
  probe.PostFromEntry("write");
  result->keep = 0;
  return 0;
}
#endif

#ifndef PROBE_NO_IPC
RK_PLUGIN_EXPORT int32_t OnIpcResult(const void* packet, uint32_t length) {
  probe.Record("OnIpcResult len=" + std::to_string(length) + " data=" + Hex(packet, length));
  probe.PostFromEntry("onipcresult");
  return 0;
}
#endif

#ifndef PROBE_NO_IOCTL
RK_PLUGIN_EXPORT int32_t IOCTL(const IoctlParams* params, IoctlResult* result) {
  probe.Record(
      "IOCTL code=" + std::to_string(params->code) + " size=" + std::to_string(params->size) +
      " len=" + std::to_string(params->length) +
      (params->data && params->length ? " data=" + Hex(params->data, params->length) : ""));
  probe.PostFromEntry("ioctl");
  if (params->code == RK_IOCTL_WORKER) {
    if (probe.GetNum("post_in_entries")) probe.Command("post type=4 text=worker");
    probe.WaitClosed();
    probe.Record("WorkerDone");
  }
  result->keep = 0;
  return 0;
}
#endif
