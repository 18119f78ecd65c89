#pragma once
// The dispatch loop: the one consumer of the event queue. It delivers every
// record to each accepting plug-in in list order, times deliveries, and
// gives the queue's reference back; what the core does besides (configuration
// deltas, the statistics report) it learns through a DispatchObserver.
//
// Threads: runs on one thread (the main thread in the core). It reads the
// loaded list without a lock: the list changes only on that same thread,
// before the loop starts and after it ends.
#include <atomic>
#include <cstdint>

#include "pluginhost/plugin_registry.h"
#include "rk/core/event_parms.h"
#include "util/total_counters.h"

namespace corvane {

class EventBus;
class TapServer;

// The loop's running figures, read and reset by the statistics report.
struct DispatchStats {
  uint64_t inQueue = 0; // records behind the one taken when AfterTake was called
  uint32_t events = 0;  // records taken
  uint32_t idle = 0;    // one-second waits that found nothing
  uint64_t ltmUs = 0;   // time spent delivering live log records
};

class DispatchObserver {
public:
  virtual ~DispatchObserver() = default;
  // Before the deliveries of a configuration record (base type 256), on the
  // loop's thread.
  virtual void BeforeDelivery(const rk::core::EventParms& record) = 0;
  // After each idle wait, and after a record is taken: each one while the
  // queue runs dry behind it, one in 64 under a flood (the report looks at
  // the clock, which would cost more than the rest of a delivery).
  virtual void AfterTake(DispatchStats& stats) = 0;
};

// Returns once `stopping` is set and the queue is empty. Counts the records
// it takes, by type, in `totals` (posters then share no counter). With a
// `tap`, each record and its receivers are published to it while somebody
// taps.
void RunDispatchLoop(EventBus& bus, const PluginList& loaded, DispatchObserver& observer,
                     DispatchStats& stats, const std::atomic<uint8_t>& stopping,
                     TotalCounters& totals, TapServer* tap = nullptr);

} // namespace corvane
