// The queue between posters and the dispatch thread: order across segments,
// the count left behind, the idle wait and the drain at stop.
#include "events/event_queue.h"

#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <vector>

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

TEST(EventQueue, KeepsOrderAcrossSegmentsAndCountsWhatIsLeft) {
  EventQueue queue;
  std::atomic<uint8_t> stopping{0};
  const uint64_t total = EventQueue::kSegment * 3 + 5;
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

  // Closed at that stop: a later post is refused, not left behind.
  EXPECT_FALSE(queue.Push(Numbered(2)));

  EventQueue idle;
  stopping = 0;
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    stopping = 1;
    idle.Wake();
  });
  EXPECT_EQ(idle.Take(out, remaining, stopping, 60s), EventQueue::Wait::kStop);
  stopper.join();
}

// Many posters, one consumer: every record arrives once, each poster's in its
// own order, across segment boundaries and with holds of the posters between;
// and a record whose post had returned before another post began is
// delivered before that other one.
TEST(EventQueue, ManyPostersLoseNothingAndKeepEachPostersOrder) {
  constexpr uint64_t kPosters = 6;
  constexpr uint64_t kEach = 20'000;
  EventQueue queue;
  std::atomic<uint8_t> stopping{0};
  // Posts returned so far; each post notes the count before it began and its
  // own place among the returns.
  std::atomic<uint64_t> returns{0};
  std::vector<uint64_t> began(kPosters * kEach), returned(kPosters * kEach);
  std::vector<std::thread> posters;
  for (uint64_t p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (uint64_t n = 0; n < kEach; ++n) {
        began[p * kEach + n] = returns.load();
        queue.Push(Numbered(p << 32 | n));
        returned[p * kEach + n] = returns.fetch_add(1) + 1;
      }
    });
  }
  std::vector<uint64_t> next(kPosters, 0);
  std::vector<uint64_t> order;
  EventParms out;
  size_t remaining = 0;
  for (uint64_t taken = 0; taken < kPosters * kEach; ++taken) {
    // Now and then the posters are held: what was accepted is all written.
    if (taken % 7'919 == 0) EventQueue::PostersHeld hold(queue);
    ASSERT_EQ(queue.Take(out, remaining, stopping, 10s), EventQueue::Wait::kEvent);
    const uint64_t poster = out.request >> 32;
    ASSERT_LT(poster, kPosters);
    ASSERT_EQ(out.request & 0xFFFFFFFFu, next[poster]) << "poster " << poster;
    ++next[poster];
    order.push_back(poster * kEach + (out.request & 0xFFFFFFFFu));
  }
  for (auto& thread : posters) thread.join();
  stopping = 1;
  EXPECT_EQ(queue.Take(out, remaining, stopping, 1s), EventQueue::Wait::kStop);

  // Returns 1..began[r] were all delivered before r: count them as they go.
  std::vector<uint64_t> tree(kPosters * kEach + 1, 0); // Fenwick, by return place
  auto delivered = [&](uint64_t upTo) {
    uint64_t sum = 0;
    for (; upTo > 0; upTo -= upTo & (~upTo + 1)) sum += tree[upTo];
    return sum;
  };
  for (const uint64_t r : order) {
    ASSERT_EQ(delivered(began[r]), began[r]) << "record " << r << " overtook a returned post";
    for (uint64_t at = returned[r]; at < tree.size(); at += at & (~at + 1)) ++tree[at];
  }
}

// A poster pauses only when it is far ahead of the consumer, never when the
// consumer keeps up (even when it has taken the record before the poster
// looked).
TEST(EventQueue, PostersPauseOnlyFarAhead) {
  EventQueue queue;
  std::atomic<uint8_t> stopping{0};
  EventParms out;
  size_t remaining = 0;
  for (uint64_t n = 0; n < 4096; ++n) {
    queue.Push(Numbered(n));
    ASSERT_EQ(queue.Take(out, remaining, stopping, 0ns), EventQueue::Wait::kEvent);
  }
  EXPECT_EQ(queue.Pauses(), 0u);
  for (uint64_t n = 0; n < 70'000; ++n) queue.Push(Numbered(n));
  EXPECT_GT(queue.Pauses(), 0u);
}

// A post that comes while the posters are held returns only after the hold.
TEST(EventQueue, APostWaitsForTheHold) {
  EventQueue queue;
  std::atomic<bool> returned{false};
  std::optional<EventQueue::PostersHeld> hold(std::in_place, queue);
  std::thread poster([&] {
    queue.Push(Numbered(7));
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned);
  hold.reset();
  poster.join();
  std::atomic<uint8_t> stopping{1};
  EventParms out;
  size_t remaining = 0;
  ASSERT_EQ(queue.Take(out, remaining, stopping, 1s), EventQueue::Wait::kEvent);
  EXPECT_EQ(out.request, 7u);
}
