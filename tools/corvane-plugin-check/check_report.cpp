#include "check_report.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <map>
#include <set>
#include <sys/wait.h>

#include "check_protocol.h"
#include "rk/core/sdk.h"

namespace check {

namespace {

// An OnEvent call longer than this holds up every later delivery noticeably.
constexpr int64_t kSlowOnEventNs = 50'000'000;

uint64_t Number(const std::string& text) {
  return std::strtoull(text.c_str(), nullptr, 0);
}

struct Kind {
  const char* name;
  bool routed; // live events of this kind are routed by the accept word
  bool stored; // stored data of this kind can be searched for
};
// In PluginInfo order.
constexpr Kind kKinds[10] = {{"video", true, true},   {"audio", true, true},
                             {"alarm", true, true},   {"ptz", true, false},
                             {"serial", true, false}, {"watchdog", false, false},
                             {"log", true, true},     {"config", false, false},
                             {"pos", true, true},     {"analytic", true, true}};

const char* TypeName(uint64_t type) {
  switch (type & ~static_cast<uint64_t>(RK_TYPE_MODIFIER)) {
  case 0:
    return "unspecified";
  case RK_TYPE_VIDEO:
    return "video";
  case RK_TYPE_AUDIO:
    return "audio";
  case RK_TYPE_ALARM:
    return "alarm";
  case RK_TYPE_PTZ:
    return "ptz";
  case RK_TYPE_SERIAL:
    return "serial";
  case RK_TYPE_WATCHDOG:
    return "watchdog";
  case RK_TYPE_LOG:
    return "log";
  case RK_TYPE_CONFIG:
    return "config";
  case RK_TYPE_DECREF:
    return "decref";
  case RK_TYPE_POS:
    return "pos";
  case RK_TYPE_CANCEL:
    return "cancel";
  case RK_TYPE_IPC:
    return "ipc";
  case RK_TYPE_CRYPTO:
    return "crypto";
  case RK_TYPE_ANALYTIC:
    return "analytic";
  default:
    return "unknown";
  }
}

std::string AcceptText(uint64_t word) {
  std::string text;
  auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (word & RK_ACCEPT_LIVE) add("live");
  if (word & RK_ACCEPT_STORED) add("stored");
  const uint64_t other = word & ~(RK_ACCEPT_LIVE | RK_ACCEPT_STORED);
  if (other) add(fmt::format("other bits {:#x}", other));
  return text.empty() ? "-" : text;
}

std::string IdText(uint64_t id) {
  if (id == RK_ID_NONE) return "none (0x80000000)";
  return fmt::format("{:02x} (id word {:#x})", rk_core_SourceIndex(id), id);
}

std::string SignalText(int signal) {
  const char* name = sigabbrev_np(signal);
  return name != nullptr ? fmt::format("SIG{}", name) : fmt::format("signal {}", signal);
}

// Shown in quotes on one line: control bytes, quotes and backslashes escaped.
std::string Display(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
      out += fmt::format("\\x{:02x}", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Ms(int64_t ns) {
  return fmt::format("{:.3f} ms", static_cast<double>(ns) / 1e6);
}

} // namespace

std::optional<std::string> CheckReport::Apply(const std::string& line) {
  const std::vector<std::string> w = Words(line);
  if (w.empty()) return std::nullopt;
  const std::string& tag = w[0];
  if (tag == "enter" && w.size() >= 2) {
    currentStep_ = w[1];
    return w[1];
  }
  if (tag == "leave" && w.size() >= 4) {
    currentStep_.clear();
    lastStep_ = w[1];
    const int64_t code = std::strtoll(w[2].c_str(), nullptr, 10);
    const int64_t ns = std::strtoll(w[3].c_str(), nullptr, 10);
    if (w[1] == "Load") {
      loadCode_ = code;
      loadNs_ = ns;
    } else if (w[1] == "Open") {
      openNs_ = ns;
    } else if (w[1] == "Close") {
      closeNs_ = ns;
    } else if (w[1] == "Unload") {
      unloadNs_ = ns;
    }
  } else if (tag == "dlopen-failed") {
    dlopenError_ = w.size() >= 2 ? Unescape(w[1]) : "unknown";
  } else if (tag == "exports") {
    haveExports_ = true;
    exports_.assign(w.begin() + 1, w.end());
  } else if (tag == "info" && w.size() >= 15) {
    haveInfo_ = true;
    id_ = Number(w[1]);
    for (int i = 0; i < 10; ++i) accept_[i] = Number(w[2 + i]);
    workerFlag_ = static_cast<unsigned>(Number(w[12]));
    readerFlag_ = static_cast<unsigned>(Number(w[13]));
    writeFlag_ = static_cast<unsigned>(Number(w[14]));
  } else if (tag == "worker-started") {
    workerStarted_ = true;
  } else if (tag == "worker-returned") {
    workerReturned_ = true;
  } else if (tag == "reader-started") {
    readerStarted_ = true;
  } else if (tag == "reader-returned") {
    readerReturned_ = true;
  } else if (tag == "post" && w.size() >= 12) {
    PostedEvent e;
    e.thread = w[1];
    e.step = w[2];
    e.type = Number(w[3]);
    e.flags = Number(w[4]);
    e.source = Number(w[5]);
    e.request = Number(w[6]);
    e.length = static_cast<uint32_t>(Number(w[7]));
    e.level = Number(w[8]);
    e.size = static_cast<uint32_t>(Number(w[9]));
    e.version = static_cast<uint32_t>(Number(w[10]));
    e.hasData = w[11] == "1";
    if (w.size() >= 13) e.preview = Unescape(w[12]);
    posts_.push_back(std::move(e));
  } else if (tag == "feed" && w.size() >= 3) {
    FedEvent f;
    f.type = w[1];
    f.outcome = w[2];
    if (w.size() >= 5) {
      f.kept = w[3] == "1";
      f.ns = static_cast<int64_t>(Number(w[4]));
    }
    fed_.push_back(std::move(f));
  } else if (tag == "decref" && w.size() >= 2) {
    (w[1] == "ok" ? decrefsOk_ : w[1] == "double" ? decrefsDouble_ : decrefsForeign_) += 1;
  } else if (tag == "kept-unreleased" && w.size() >= 2) {
    keptUnreleased_ = static_cast<size_t>(Number(w[1]));
  } else if (tag == "blocking-post") {
    ++blockingPosts_;
  } else if (tag == "post-null") {
    ++nullPosts_;
  } else if (tag == "threads-left" && w.size() >= 2) {
    threadsLeft_ = static_cast<int>(Number(w[1]));
  } else if (tag == "crash" && w.size() >= 4) {
    crash_ = fmt::format("crashed with {} on the {} thread during {}",
                         SignalText(static_cast<int>(std::strtol(w[1].c_str(), nullptr, 10))), w[2],
                         w[3]);
  } else if (tag == "done") {
    done_ = true;
  }
  return std::nullopt;
}

void CheckReport::ChildEnded(int waitStatus) {
  ended_ = true;
  waitStatus_ = waitStatus;
  if (timedOutSeconds_ > 0) timedOutStep_ = currentStep_;
}

bool CheckReport::Exports(const std::string& name) const {
  for (const auto& e : exports_)
    if (e == name) return true;
  return false;
}

std::vector<std::string> CheckReport::Problems() const {
  std::vector<std::string> problems;
  const std::string step = !currentStep_.empty() ? currentStep_ : lastStep_;

  if (timedOutSeconds_ > 0) {
    if (timedOutStep_ == "join-reader") {
      problems.push_back(fmt::format(
          "the reader thread's Read did not return within {} s after Close", timedOutSeconds_));
    } else if (timedOutStep_ == "join-worker") {
      problems.push_back(fmt::format(
          "the worker thread's IOCTL 1 did not return within {} s after Close", timedOutSeconds_));
    } else {
      problems.push_back(fmt::format("{} did not return within {} s",
                                     timedOutStep_.empty() ? step : timedOutStep_,
                                     timedOutSeconds_));
    }
  } else if (crash_) {
    problems.push_back(*crash_);
  } else if (ended_ && WIFSIGNALED(waitStatus_)) {
    problems.push_back(
        fmt::format("crashed with {} during {}", SignalText(WTERMSIG(waitStatus_)), step));
  } else if (ended_ && !done_) {
    problems.push_back(fmt::format("ended the process (exit status {}) during {}",
                                   WIFEXITED(waitStatus_) ? WEXITSTATUS(waitStatus_) : -1, step));
  }

  if (dlopenError_) {
    problems.push_back("the library cannot be opened (load code 79): " + *dlopenError_);
  }
  if (haveExports_ && (!Exports("Load") || !Exports("Unload"))) {
    const char* missing = !Exports("Load") && !Exports("Unload") ? "Load() and Unload()"
                          : !Exports("Load")                     ? "Load()"
                                                                 : "Unload()";
    problems.push_back(
        fmt::format("missing {} (load code -101): the core never loads it", missing));
  }
  if (loadCode_ && *loadCode_ != 0) {
    problems.push_back(
        fmt::format("Load returned {} (load code {}): the core drops it without calling Unload",
                    *loadCode_, *loadCode_));
  }
  if (haveInfo_ && loadCode_ && *loadCode_ == 0) {
    if (id_ != RK_ID_NONE && (id_ >> 24) != 0) {
      problems.push_back(
          fmt::format("plug-in id word {:#x} has bits above 23 set: bits 24-31 must be zero, and "
                      "0x80000000 alone means no id",
                      id_));
    }
    const bool open = Exports("Open"), close = Exports("Close");
    if (open && !close) {
      problems.push_back("Open without Close (open code -102): never opened, gets no events");
    } else if (!open && close) {
      problems.push_back("Close without Open (open code -102): never opened, gets no events");
    } else if (!open && !close) {
      problems.push_back("neither Open nor Close (open code -102): never opened, gets no events");
    }
    if (workerFlag_ && !Exports("IOCTL")) {
      problems.push_back("worker flag set but no IOCTL: no worker thread is started");
    }
    if (readerFlag_ && !Exports("Read")) {
      problems.push_back("reader flag set but no Read: no reader thread, no searches");
    }
    if (writeFlag_ && !Exports("Write")) {
      problems.push_back("write flag set but no Write");
    }
    std::string live, stored;
    for (int i = 0; i < 10; ++i) {
      if (kKinds[i].routed && (accept_[i] & RK_ACCEPT_LIVE))
        live += std::string(" ") + kKinds[i].name;
      if (kKinds[i].stored && (accept_[i] & RK_ACCEPT_STORED))
        stored += std::string(" ") + kKinds[i].name;
    }
    const bool takesEvents = Exports("OnEvent") || (Exports("Write") && writeFlag_);
    if (!live.empty() && (!takesEvents || !open || !close)) {
      problems.push_back(fmt::format(
          "accepts live events ({}) but cannot receive them (needs Open, Close and OnEvent, or "
          "Write with the write flag)",
          live.substr(1)));
    }
    const bool searchable = Exports("OnSearch") || (Exports("Read") && readerFlag_);
    if (!stored.empty() && !searchable) {
      problems.push_back(fmt::format(
          "provides stored data ({}) but has no OnSearch (nor Read with the reader flag)",
          stored.substr(1)));
    }

    std::set<uint64_t> foreign;
    size_t late = 0, badWords = 0;
    const PostedEvent* firstBad = nullptr;
    for (const auto& e : posts_) {
      if (rk_core_PluginKey(e.source) != rk_core_PluginKey(id_)) foreign.insert(e.source);
      if (e.step == "after-unload") ++late;
      if (e.size != RK_EVENT_SIZE || e.version != RK_EVENT_VERSION) {
        if (firstBad == nullptr) firstBad = &e;
        ++badWords;
      }
    }
    if (firstBad != nullptr) {
      problems.push_back(fmt::format(
          "posted {} record(s) whose size and version words are not {} and {} (the first: size "
          "{}, version {}): always pass a complete record from InitEvent or a typed record",
          badWords, RK_EVENT_SIZE, RK_EVENT_VERSION, firstBad->size, firstBad->version));
    }
    const size_t decrefs = decrefsForeign_;
    for (uint64_t source : foreign) {
      problems.push_back(
          fmt::format("posted with source {:#x}, which is not its own id word {:#x}", source, id_));
    }
    if (decrefs) {
      problems.push_back(
          fmt::format("posted {} decref record(s) for payloads it was never given", decrefs));
    }
    if (late) problems.push_back(fmt::format("posted {} event(s) after Unload returned", late));
    if (decrefsDouble_) {
      problems.push_back(fmt::format(
          "released {} payload reference(s) twice: one decref per payload kept", decrefsDouble_));
    }
    if (keptUnreleased_) {
      problems.push_back(fmt::format(
          "kept {} payload(s) from OnEvent and never released them (decref) before Unload",
          keptUnreleased_));
    }
    if (blockingPosts_) {
      problems.push_back(fmt::format(
          "posted {} stored record(s) with payload from OnEvent: the core paces those until the "
          "previous one is released, which blocks the dispatch thread",
          blockingPosts_));
    }
    for (const auto& f : fed_) {
      if (f.outcome == "delivered" && f.ns > kSlowOnEventNs) {
        problems.push_back(fmt::format(
            "OnEvent took {} for the {} event: the dispatch thread delivers to every plug-in in "
            "turn, so it must not block",
            Ms(f.ns), f.type));
      }
    }
  }
  if (nullPosts_) {
    problems.push_back(
        fmt::format("called the post callback {} time(s) with a null record", nullPosts_));
  }
  if (threadsLeft_ > 0) {
    problems.push_back(fmt::format(
        "{} thread(s) of its own still running after Unload (the core closes the library next)",
        threadsLeft_));
  }
  return problems;
}

int CheckReport::Print(std::FILE* out) const {
  fmt::print(out, "corvane-plugin-check: {}\n", path_);
  if (haveExports_) {
    static constexpr const char* kEntries[] = {"Load",        "Unload",   "Open", "Close",
                                               "OnEvent",     "OnSearch", "Read", "Write",
                                               "OnIpcResult", "IOCTL"};
    std::string missing;
    for (const char* name : kEntries)
      if (!Exports(name)) missing += std::string(" ") + name;
    std::string present;
    for (const auto& e : exports_) present += " " + e;
    fmt::print(out, "Entry points:{}{}\n", present.empty() ? " none" : present,
               missing.empty() ? "" : " (not exported:" + missing + ")");
  }
  if (loadCode_) fmt::print(out, "Load: code {} in {}\n", *loadCode_, Ms(loadNs_.value_or(0)));
  if (haveInfo_) {
    fmt::print(out, "Plug-in id: {}\n", IdText(id_));
    fmt::print(out, "Accept words:\n");
    for (int i = 0; i < 10; ++i) {
      const char* remark = i == 5   ? "  (orders closing, not routing)"
                           : i == 7 ? "  (not read by the core)"
                                    : "";
      fmt::print(out, "  {:<9} {:#018x}  {}{}\n", kKinds[i].name, accept_[i],
                 AcceptText(accept_[i]), remark);
    }
    fmt::print(out, "Flags: worker {}, reader {}, write {}\n", workerFlag_, readerFlag_,
               writeFlag_);
  }
  if (openNs_) fmt::print(out, "Open: {}\n", Ms(*openNs_));
  if (workerStarted_) {
    fmt::print(out, "Worker thread (IOCTL 1): {}\n",
               workerReturned_ ? "returned" : "did not return");
  }
  if (readerStarted_) {
    fmt::print(out, "Reader thread (Read): {}\n", readerReturned_ ? "returned" : "did not return");
  }
  if (closeNs_) fmt::print(out, "Close: {}\n", Ms(*closeNs_));
  if (unloadNs_) fmt::print(out, "Unload: {}\n", Ms(*unloadNs_));

  fmt::print(out, "Events posted: {}\n", posts_.size());
  constexpr size_t kShown = 200;
  for (size_t i = 0; i < posts_.size() && i < kShown; ++i) {
    const PostedEvent& e = posts_[i];
    std::string flags;
    if (e.flags & RK_FLAG_LIVE) flags += " live";
    if (e.flags & RK_FLAG_STORED) flags += " stored";
    std::string line = fmt::format("  [{}, {}] {}{} type={:#x} flags={:#x} source={:#x}", e.thread,
                                   e.step, TypeName(e.type), flags, e.type, e.flags, e.source);
    if (e.request) line += fmt::format(" request={:#x}", e.request);
    const uint64_t base = e.type & ~static_cast<uint64_t>(RK_TYPE_MODIFIER);
    if (base == RK_TYPE_LOG) {
      line += fmt::format(" level={}", static_cast<int32_t>(static_cast<uint32_t>(e.level)));
    }
    line += fmt::format(" len={}", e.length);
    if (e.size != RK_EVENT_SIZE || e.version != RK_EVENT_VERSION) {
      line += fmt::format(" (size word {}, version {})", e.size, e.version);
    }
    if (!e.preview.empty()) line += " \"" + Display(e.preview) + "\"";
    fmt::print(out, "{}\n", line);
  }
  if (posts_.size() > kShown) fmt::print(out, "  ... {} more\n", posts_.size() - kShown);

  if (haveInfo_ && loadCode_ && *loadCode_ == 0) {
    std::vector<std::string> notes;
    const uint32_t index = rk_core_SourceIndex(id_);
    if (id_ == RK_ID_NONE)
      notes.push_back("no id: shares source index 0 with the core");
    else if (index == 0)
      notes.push_back("id 00: the only sender whose records start searches");
    else if (index == 6)
      notes.push_back("id 06: opened before every other plug-in");
    else if (index == 8)
      notes.push_back("id 08: closed and unloaded without log lines");
    if (!Exports("OnIpcResult") && !Exports("IOCTL"))
      notes.push_back("no OnIpcResult or IOCTL: packets from the parent go nowhere");
    if (!notes.empty()) {
      fmt::print(out, "Notes:\n");
      for (const auto& n : notes) fmt::print(out, "  - {}\n", n);
    }
  }

  if (!fed_.empty()) {
    fmt::print(out, "Events fed to OnEvent: {}\n", fed_.size());
    for (const auto& f : fed_) {
      if (f.outcome == "delivered") {
        fmt::print(out, "  {:<7} delivered in {}, {}\n", f.type, Ms(f.ns),
                   f.kept ? "kept" : "not kept");
      } else {
        fmt::print(out, "  {:<7} not delivered: {}\n", f.type,
                   f.outcome == "no-OnEvent" ? "no OnEvent"
                                             : "its accept words do not take it (as in the core)");
      }
    }
    fmt::print(out, "Payloads released: {} of {} kept\n", decrefsOk_,
               std::count_if(fed_.begin(), fed_.end(), [](const FedEvent& f) { return f.kept; }));
  }

  const auto problems = Problems();
  if (problems.empty()) {
    fmt::print(out, "Problems: none\nResult: PASS\n");
  } else {
    fmt::print(out, "Problems ({}):\n", problems.size());
    for (const auto& p : problems) fmt::print(out, "  - {}\n", p);
    fmt::print(out, "Result: FAIL ({} contract problem(s))\n", problems.size());
  }
  return static_cast<int>(problems.size());
}

} // namespace check
