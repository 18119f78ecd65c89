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

#include "pluginhost/plugin_registry.h"
#include "util/core_counters.h"

namespace corvane {

// One started search: a copy of the request whose `data` points to the
// core's own malloc'd copy of the payload (null when the heap refused it);
// shared by its search threads and freed with the last of them. Immutable
// after construction, so the threads read it without a lock.
struct SearchJob {
  explicit SearchJob(const rk::core::EventParms& request);
  ~SearchJob();
  SearchJob(const SearchJob&) = delete;
  SearchJob& operator=(const SearchJob&) = delete;
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

  // Providers come from `plugins`' snapshot; `stopping` is the core's stop
  // flag. The references must outlive the handler.
  SearchHandler(const PluginRegistry& plugins, CoreCounters& counters,
                const std::atomic<uint8_t>& stopping);

  // Event entry: true when the record was a search request and is dealt with.
  bool StartSearch(const rk::core::EventParms& record) {
    // Only the core's own source index asks for searches: every other post
    // leaves here at once.
    if (record.source == rk::core::kIdNone || rk::core::SourceIndex(record.source) != 0)
      return false;
    return StartRequest(record);
  }
  // Cancel record: marks the id (0) or, with the query flag, answers 1/0.
  uint32_t Cancel(const rk::core::EventParms& record);
  // Event entry, before queueing: whether a search result may be queued; may wait for pacing.
  bool AdmitResult(const rk::core::EventParms& record, const void* block);
  // Release: the block was freed; wakes the provider waiting on it.
  void BlockFreed(const void* block);
  // RequestStop: wakes every waiting provider so that none waits forever.
  void WakeAll();
  // Blocks until no search thread runs any more; afterwards no new search
  // starts. Called first by the core's destructor.
  void WaitForSearches();

private:
  bool StartRequest(const rk::core::EventParms& record);
  void StartThread(const std::shared_ptr<SearchJob>& search,
                   const std::shared_ptr<Plugin>& provider);
  void RunSearch(std::shared_ptr<SearchJob> search, std::shared_ptr<Plugin> provider);
  void ThreadEnded();
  bool Stopping() const { return stopping_.load(std::memory_order_acquire) != 0; }

  const PluginRegistry& plugins_;
  CoreCounters& counters_;
  const std::atomic<uint8_t>& stopping_;
  // Guards providers_, cancelled_, running_ and finished_; never held while
  // waiting on a provider. providerCount_ mirrors providers_.size() so that
  // BlockFreed skips the lock when no search runs.
  std::mutex mutex_;
  std::unordered_map<std::thread::id, std::shared_ptr<StoredProvider>> providers_;
  std::unordered_set<uint32_t> cancelled_;
  std::atomic<size_t> providerCount_{0};
  size_t running_ = 0;    // search threads started and not yet ended
  bool finished_ = false; // set by WaitForSearches: no thread starts any more
  std::condition_variable searchesEnded_;
};

} // namespace corvane
