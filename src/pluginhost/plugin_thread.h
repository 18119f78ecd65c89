#pragma once
// A thread the core lends a plug-in for one long call (the worker's IOCTL 1,
// the reader's Read), which can say at stop how long the call has kept it
// waiting.
//
// Threads: Start and Join on the main thread (the owner); the flag that the
// call has returned is set on the lent thread and guarded by mutex_.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane {

class PluginThread {
public:
  // First report after this long, then one every kRepeat.
  static constexpr std::chrono::seconds kFirstReport{5};
  static constexpr std::chrono::seconds kRepeat{30};

  PluginThread() = default;
  ~PluginThread(); // joins a thread still running, without reports
  PluginThread(const PluginThread&) = delete;
  PluginThread& operator=(const PluginThread&) = delete;

  void Start(std::function<void()> call);
  bool Joinable() const { return thread_.joinable(); }
  // Waits for the call to return, telling `stillWaiting` the whole seconds
  // waited so far after kFirstReport and then every kRepeat; then joins.
  void Join(const std::function<void(long long seconds)>& stillWaiting = {});

private:
  std::thread thread_;
  std::mutex mutex_; // guards returned_
  std::condition_variable changed_;
  bool returned_ = false;
};

} // namespace corvane
