#pragma once
// Posting threads that start together: each waits for Go() and then runs
// its body once.
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

class PosterGroup {
public:
  PosterGroup(unsigned count, const std::function<void(unsigned)>& body) {
    for (unsigned i = 0; i < count; ++i) {
      threads_.emplace_back([this, body, i] {
        while (!go_.load(std::memory_order_acquire)) std::this_thread::yield();
        body(i);
      });
    }
  }
  ~PosterGroup() { Join(); }
  PosterGroup(const PosterGroup&) = delete;
  PosterGroup& operator=(const PosterGroup&) = delete;

  void Go() { go_.store(true, std::memory_order_release); }
  void Join() {
    Go();
    for (auto& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

private:
  std::atomic<bool> go_{false};
  std::vector<std::thread> threads_;
};
