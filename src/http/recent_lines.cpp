#include "http/recent_lines.h"

namespace corvane {

void RecentLines::Add(std::string line) {
  std::string dropped; // freed after the lock is released
  std::lock_guard lock(mutex_);
  if (capacity_ == 0) return;
  if (lines_.size() == capacity_) {
    dropped = std::move(lines_.front());
    lines_.pop_front();
  }
  lines_.push_back(std::move(line));
}

std::vector<std::string> RecentLines::Lines() const {
  std::lock_guard lock(mutex_);
  return {lines_.begin(), lines_.end()};
}

} // namespace corvane
