#include "mqtt/outbox.h"

#include <algorithm>
#include <utility>

namespace mqtt {
namespace {

using Entry = std::shared_ptr<const OutMessage>;

bool SeqBelow(const Entry& entry, uint64_t seq) {
  return entry->seq < seq;
}

} // namespace

void Outbox::Push(std::string topic, std::string payload, bool retain, uint32_t camera) {
  auto message = std::make_shared<OutMessage>();
  message->topic = std::move(topic);
  message->payload = std::move(payload);
  message->retain = retain;
  message->camera = camera;
  std::lock_guard lock(mutex_);
  message->seq = ++lastSeq_;
  messages_.push_back(std::move(message));
  while (messages_.size() > limit_) {
    messages_.pop_front();
    ++dropped_;
  }
}

std::shared_ptr<const OutMessage> Outbox::After(uint64_t seq) const {
  std::lock_guard lock(mutex_);
  const auto it = std::lower_bound(messages_.begin(), messages_.end(), seq + 1, SeqBelow);
  return it == messages_.end() ? nullptr : *it;
}

std::shared_ptr<const OutMessage> Outbox::Remove(uint64_t seq) {
  std::lock_guard lock(mutex_);
  const auto it = std::lower_bound(messages_.begin(), messages_.end(), seq, SeqBelow);
  if (it == messages_.end() || (*it)->seq != seq) return nullptr;
  Entry message = std::move(*it);
  messages_.erase(it);
  return message;
}

uint64_t Outbox::TakeDropped() {
  std::lock_guard lock(mutex_);
  return std::exchange(dropped_, 0);
}

size_t Outbox::Size() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

} // namespace mqtt
