// The queue between posters and the dispatch thread: order across batches,
// the count left behind, the idle wait and the drain at stop.
#include "events/event_queue.h"

#include <gtest/gtest.h>
#include <thread>

using namespace corvane;
using namespace rk::core;
using namespace std::chrono_literals;

namespace {

EventParms Numbered(uint64_t n) {
  EventParms record;
  InitEvent(record);
  record.request = n;
  return record;
}

} // namespace

TEST(EventQueue, KeepsOrderAcrossBatchesAndCountsWhatIsLeft) {
  EventQueue queue;
  std::atomic<uint8_t> stopping{0};
  const uint64_t total = EventQueue::kBatch * 3 + 5;
  for (uint64_t n = 0; n < total; ++n) queue.Push(Numbered(n));
  EventParms out;
  size_t remaining = 0;
  for (uint64_t n = 0; n < total; ++n) {
    ASSERT_EQ(queue.Take(out, remaining, stopping, 0ns), EventQueue::Wait::kEvent);
    EXPECT_EQ(out.request, n);
    EXPECT_EQ(remaining, total - n - (n > 10 ? 0 : 1));
    // A record pushed mid-batch still comes after everything queued before it.
    if (n == 10) queue.Push(Numbered(total));
  }
  ASSERT_EQ(queue.Take(out, remaining, stopping, 0ns), EventQueue::Wait::kEvent);
  EXPECT_EQ(out.request, total);
  EXPECT_EQ(remaining, 0u);
  EXPECT_EQ(queue.Take(out, remaining, stopping, 1ms), EventQueue::Wait::kIdle);
}

TEST(EventQueue, StopDrainsFirstAndAWakeEndsTheWait) {
  EventQueue queue;
  std::atomic<uint8_t> stopping{1};
  queue.Push(Numbered(1));
  EventParms out;
  size_t remaining = 0;
  EXPECT_EQ(queue.Take(out, remaining, stopping, 0ns), EventQueue::Wait::kEvent);
  EXPECT_EQ(queue.Take(out, remaining, stopping, 0ns), EventQueue::Wait::kStop);

  stopping = 0;
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    stopping = 1;
    queue.Wake();
  });
  EXPECT_EQ(queue.Take(out, remaining, stopping, 60s), EventQueue::Wait::kStop);
  stopper.join();
}
