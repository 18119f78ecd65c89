#include "pluginhost/plugin_thread.h"

namespace corvane {

PluginThread::~PluginThread() {
  if (thread_.joinable()) thread_.join();
}

void PluginThread::Start(std::function<void()> call) {
  returned_ = false;
  thread_ = std::thread([this, call = std::move(call)] {
    call();
    {
      std::lock_guard lock(mutex_);
      returned_ = true;
    }
    changed_.notify_all();
  });
}

void PluginThread::Join(const std::function<void(long long seconds)>& stillWaiting) {
  if (!thread_.joinable()) return;
  const auto start = std::chrono::steady_clock::now();
  auto next = start + kFirstReport;
  std::unique_lock lock(mutex_);
  while (!changed_.wait_until(lock, next, [this] { return returned_; })) {
    if (stillWaiting) {
      lock.unlock();
      stillWaiting(
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
              .count());
      lock.lock();
    }
    next += kRepeat;
  }
  lock.unlock();
  thread_.join();
}

} // namespace corvane
