#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "rk/core/event_parms.h"

class DvrCore;

// One started search: a copy of the request whose `data` points to the
// core's own malloc'd copy of the payload; shared by its search threads and
// freed with the last of them.
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
  // payload in flight. mutex guards pending.
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

private:
  void RunSearch(std::shared_ptr<AsyncEvent> search, std::shared_ptr<class Plugin> provider);

  DvrCore& core_;
  // The core mutex guards providers_ and cancelled_; never held while waiting
  // on a provider. providerCount_ mirrors providers_.size() so that Release
  // skips the lock when no search runs.
  std::mutex coreMutex_;
  std::unordered_map<std::thread::id, std::shared_ptr<StoredProvider>> providers_;
  std::unordered_set<uint32_t> cancelled_;
  std::atomic<size_t> providerCount_{0};
};
