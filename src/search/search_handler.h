#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "rk/core/event_parms.h"

class DvrCore;
class Plugin;

// One started search: a copy of the request whose `data` points to the
// core's own malloc'd copy of the payload (null when the heap refused it);
// shared by its search threads and freed with the last of them. Immutable
// after construction, so the threads read it without a lock.
struct AsyncEvent {
  explicit AsyncEvent(const rk::core::EventParms& request);
  ~AsyncEvent();
  AsyncEvent(const AsyncEvent&) = delete;
  AsyncEvent& operator=(const AsyncEvent&) = delete;
  rk::core::EventParms record;
};

// Stored-data searches: provider threads, result pacing and cancellation.
class SearchHandler {
public:
  // Flow control of one running search thread: at most one admitted result
  // payload in flight. Shared by the provider map and the thread while it
  // posts; mutex guards pending.
  struct StoredProvider {
    std::mutex mutex;
    std::condition_variable released;
    const void* pending = nullptr;
  };

  explicit SearchHandler(DvrCore& core);

  // Event entry: true when the record was a search request and is dealt with.
  bool searchRequest(const rk::core::EventParms& record);
  // Cancel record: marks the id (0) or, with the query flag, answers 1/0.
  uint32_t Cancel(const rk::core::EventParms& record);
  // queueEvent: whether a search result may be queued; may wait for pacing.
  bool AdmitResult(const rk::core::EventParms& record, const void* block);
  // Release: the block was freed; wakes the provider waiting on it.
  void BlockFreed(const void* block);
  // RequestStop: wakes every waiting provider so that none waits forever.
  void WakeAll();
  // Blocks until no search thread runs any more; afterwards no new search
  // starts. Called first by the core's destructor.
  void WaitForSearches();

private:
  void StartThread(const std::shared_ptr<AsyncEvent>& search,
                   const std::shared_ptr<Plugin>& provider);
  void RunSearch(std::shared_ptr<AsyncEvent> search, std::shared_ptr<Plugin> provider);
  void ThreadEnded();

  DvrCore& core_;
  // The core mutex guards providers_, cancelled_, running_ and finished_;
  // it is never held while waiting on a provider. providerCount_ mirrors
  // providers_.size() so that Release skips the lock when no search runs.
  std::mutex coreMutex_;
  std::unordered_map<std::thread::id, std::shared_ptr<StoredProvider>> providers_;
  std::unordered_set<uint32_t> cancelled_;
  std::atomic<size_t> providerCount_{0};
  size_t running_ = 0;    // search threads started and not yet ended
  bool finished_ = false; // set by WaitForSearches: no thread starts any more
  std::condition_variable searchesEnded_;
};
