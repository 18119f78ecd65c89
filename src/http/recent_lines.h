#pragma once
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace corvane {

// The last `capacity` lines given to it, oldest first: the status page's
// recent warnings. Threads: Add from any thread that logs, Lines from the
// I/O thread; mutex_ guards lines_. Add does no more than move a string in
// under the lock, so logging threads never wait on a reader for long.
class RecentLines {
public:
  explicit RecentLines(size_t capacity = 50) : capacity_(capacity) {}

  void Add(std::string line);
  std::vector<std::string> Lines() const;

private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<std::string> lines_; // guarded by mutex_
};

} // namespace corvane
