#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace check {

struct PostedEvent {
  std::string thread; // main, worker, reader or plugin-thread
  std::string step;   // the main thread's step at the time
  uint64_t type = 0, flags = 0, source = 0, request = 0, level = 0;
  uint32_t length = 0, size = 0, version = 0;
  bool hasData = false;
  std::string preview;
};

// What the parent learned from the child, message by message.
class CheckReport {
public:
  explicit CheckReport(std::string path) : path_(std::move(path)) {}

  // One message line from the child; returns the step just entered, if any.
  std::optional<std::string> Apply(const std::string& line);
  // The child ended: by exit status, by signal, or killed on the time limit.
  void ChildEnded(int waitStatus);
  void TimedOut(int seconds) { timedOutSeconds_ = seconds; }
  // Writes the report; returns the number of problems found.
  int Print(std::FILE* out) const;

  bool Done() const { return done_; }
  const std::string& CurrentStep() const { return currentStep_; }

private:
  std::vector<std::string> Problems() const;
  bool Exports(const std::string& name) const;

  std::string path_;
  bool done_ = false;
  std::string currentStep_; // entered and not left; empty between steps
  std::string lastStep_;
  std::vector<std::string> exports_;
  bool haveExports_ = false;
  std::optional<std::string> dlopenError_;
  std::optional<int64_t> loadCode_;
  bool haveInfo_ = false;
  uint64_t id_ = 0;
  uint64_t accept_[10] = {};
  unsigned workerFlag_ = 0, readerFlag_ = 0, writeFlag_ = 0;
  std::optional<int64_t> loadNs_, openNs_, closeNs_, unloadNs_;
  bool workerStarted_ = false, workerReturned_ = false;
  bool readerStarted_ = false, readerReturned_ = false;
  std::vector<PostedEvent> posts_;
  struct FedEvent {
    std::string type;
    std::string outcome; // delivered, not-routed, no-OnEvent
    bool kept = false;
    int64_t ns = 0;
  };
  std::vector<FedEvent> fed_;
  size_t decrefsOk_ = 0, decrefsForeign_ = 0, decrefsDouble_ = 0, keptUnreleased_ = 0;
  size_t blockingPosts_ = 0;
  size_t nullPosts_ = 0;
  int threadsLeft_ = 0;
  std::optional<std::string> crash_; // description of a crash seen by the handler
  int waitStatus_ = 0;
  bool ended_ = false;
  int timedOutSeconds_ = 0;
  std::string timedOutStep_;
};

} // namespace check
