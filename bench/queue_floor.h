#pragma once
// The floors the core is measured against: the same three plug-in files
// called directly, behind a plain mutex + condition variable + deque queue
// that hands over one record per lock.
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "bench_install.h"
#include "plugins/bench_plugin_state.h"
#include "rk/core/plugin_api.h"

class FloorPlugins {
public:
  explicit FloorPlugins(const BenchInstall& install);
  ~FloorPlugins();
  FloorPlugins(const FloorPlugins&) = delete;
  FloorPlugins& operator=(const FloorPlugins&) = delete;

  // The three OnEvent calls the dispatch loop would make.
  void Deliver(const rk::core::EventParms& record) const {
    for (const auto fn : onEvent_) fn(&record, &record);
  }
  BenchPluginState& State(size_t index) const { return *states_[index]; }

private:
  std::array<void*, 3> handles_{};
  std::array<rk::core::OnEventFn, 3> onEvent_{};
  std::array<BenchPluginState*, 3> states_{};
};

// Any number of producers, one consumer.
class FloorQueue {
public:
  void Push(const rk::core::EventParms& record) {
    {
      std::lock_guard lock(mutex_);
      records_.push_back(record);
    }
    ready_.notify_one();
  }
  // Waits for a record; false once stopped and empty.
  bool Pop(rk::core::EventParms& out) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !records_.empty() || stop_; });
    if (records_.empty()) return false;
    out = records_.front();
    records_.pop_front();
    return true;
  }
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    ready_.notify_one();
  }

private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<rk::core::EventParms> records_; // guarded by mutex_, with stop_
  bool stop_ = false;
};
