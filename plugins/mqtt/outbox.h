#pragma once
// The outbox: every QoS 1 message from the moment an event is taken until the
// broker acknowledges it (PUBACK), in order. The plug-in, not libmosquitto,
// keeps them, so that the limit is exact and a reconnect resends them in
// order from the oldest.
//
// Threads: Push from the dispatch thread (and the network thread), the rest
// from the network thread; `mutex_` guards everything below it.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace mqtt {

struct OutMessage {
  uint64_t seq = 0; // 1, 2, ... in the order of Push
  std::string topic;
  std::string payload;
  bool retain = false;
  uint32_t camera = 0; // a camera state's number, 0 for anything else
};

class Outbox {
public:
  explicit Outbox(size_t limit) : limit_(limit) {}

  // Appends; beyond the limit the oldest message is dropped and counted.
  void Push(std::string topic, std::string payload, bool retain, uint32_t camera = 0);
  // The oldest message with a sequence number above `seq`, or null.
  std::shared_ptr<const OutMessage> After(uint64_t seq) const;
  // Takes out an acknowledged message; null when it was dropped meanwhile.
  std::shared_ptr<const OutMessage> Remove(uint64_t seq);
  // Messages dropped since the last call.
  uint64_t TakeDropped();
  size_t Size() const;

private:
  const size_t limit_;
  mutable std::mutex mutex_;
  std::deque<std::shared_ptr<const OutMessage>> messages_; // ascending seq
  uint64_t lastSeq_ = 0;
  uint64_t dropped_ = 0;
};

} // namespace mqtt
