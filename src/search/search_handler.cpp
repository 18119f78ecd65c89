#include "search/search_handler.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

#include "log/core_log.h"
#include "pluginhost/plugin.h"

namespace corvane {

using namespace rk::core;

namespace {

uint32_t SearchId(const EventParms& record) {
  return static_cast<uint32_t>(record.request);
}

// OnSearch, or the legacy Read of a reader that stores data of some kind.
bool Provides(const Plugin& plugin) {
  if (plugin.HasOnSearch()) return true;
  if (!plugin.HasRead() || plugin.info.readerFlag == 0) return false;
  const PluginInfo& info = plugin.info;
  for (const uint64_t word : {info.acceptVideo, info.acceptAudio, info.acceptAlarm, info.acceptLog,
                              info.acceptPos, info.acceptAnalytic}) {
    if (word & kStored) return true;
  }
  return false;
}

} // namespace

SearchJob::SearchJob(const EventParms& request) : record(request) {
  void* copy = nullptr;
  if (request.length != 0 && request.data != nullptr) {
    copy = std::malloc(request.length);
    if (copy != nullptr) std::memcpy(copy, request.data, request.length);
  }
  record.data = copy;
}

SearchJob::~SearchJob() {
  std::free(const_cast<void*>(record.data));
}

SearchHandler::SearchHandler(const PluginRegistry& plugins, CoreCounters& counters,
                             const std::atomic<uint8_t>& stopping)
    : plugins_(plugins), counters_(counters), stopping_(stopping) {}

bool SearchHandler::StartRequest(const EventParms& record) {
  const uint32_t id = SearchId(record);
  if (id == 0) return false;
  if (record.length == 0) return true;
  {
    std::lock_guard lock(mutex_);
    cancelled_.erase(id);
    // A provider asking for a search from inside its own would fan out
    // without end.
    if (providers_.contains(std::this_thread::get_id())) return true;
  }
  const auto search = std::make_shared<SearchJob>(record);
  const auto plugins = plugins_.Snapshot();
  for (const auto& plugin : *plugins) {
    if (Provides(*plugin)) StartThread(search, plugin);
  }
  CoreCounters::Add(counters_.searchRequests);
  TotalCounters::Add(counters_.totals.searchesStarted);
  return true;
}

void SearchHandler::StartThread(const std::shared_ptr<SearchJob>& search,
                                const std::shared_ptr<Plugin>& provider) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    ++running_;
  }
  try {
    // Init-captures, so the copies are not const and really move on: the
    // thread must hold no reference once RunSearch has ended.
    std::thread([this, search = search, provider = provider]() mutable {
      RunSearch(std::move(search), std::move(provider));
    }).detach();
  } catch (const std::system_error& error) {
    ThreadEnded();
    LogError("Failed to start search thread for {:02x}:{}: {}", provider->Id(),
             provider->DisplayStem(), error.what());
  }
}

void SearchHandler::RunSearch(std::shared_ptr<SearchJob> search, std::shared_ptr<Plugin> provider) {
  const std::thread::id self = std::this_thread::get_id();
  auto flow = std::make_shared<StoredProvider>();
  {
    std::lock_guard lock(mutex_);
    providers_.try_emplace(self, std::move(flow));
    providerCount_.store(providers_.size(), std::memory_order_release);
  }
  provider->DeliverSearch(search->record);
  {
    std::lock_guard lock(mutex_);
    providers_.erase(self);
    providerCount_.store(providers_.size(), std::memory_order_release);
  }
  search.reset();
  // When the core already let go of the plug-in (id 8 at close), this is the
  // last reference: its Close and Unload run here, on this thread.
  provider.reset();
  ThreadEnded();
}

void SearchHandler::ThreadEnded() {
  // Notified under the lock: the destructor waiting for it must not free the
  // condition variable before this call is done with it.
  std::lock_guard lock(mutex_);
  --running_;
  if (running_ == 0) searchesEnded_.notify_all();
}

void SearchHandler::WaitForSearches() {
  std::unique_lock lock(mutex_);
  searchesEnded_.wait(lock, [this] { return running_ == 0; });
  finished_ = true;
}

uint32_t SearchHandler::Cancel(const EventParms& record) {
  const uint32_t id = SearchId(record);
  if (record.flags & RK_FLAG_QUERY) {
    std::lock_guard lock(mutex_);
    return cancelled_.contains(id) ? RK_POST_REFUSED : RK_POST_OK;
  }
  {
    std::lock_guard lock(mutex_);
    cancelled_.insert(id);
  }
  CoreCounters::Add(counters_.searchCancels);
  TotalCounters::Add(counters_.totals.searchesCancelled);
  return RK_POST_OK;
}

bool SearchHandler::AdmitResult(const EventParms& record, const void* block) {
  std::shared_ptr<StoredProvider> provider;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_.contains(SearchId(record))) return false;
    const auto found = providers_.find(std::this_thread::get_id());
    if (found == providers_.end()) return false;
    provider = found->second;
  }
  if (block != nullptr) {
    std::unique_lock lock(provider->mutex);
    if (provider->pending != nullptr) TotalCounters::Add(counters_.totals.searchesPaced);
    provider->released.wait(lock, [&] { return provider->pending == nullptr || Stopping(); });
    // Once stopping, the queue may already be drained: nothing would deliver
    // or free the block, and the provider would wait for it for good.
    if (Stopping()) return false;
    provider->pending = block;
  } else if (Stopping()) {
    return false;
  }
  CoreCounters::Add(counters_.searchResults);
  CoreCounters::Add(counters_.searchResultBytes, record.length);
  return true;
}

void SearchHandler::BlockFreed(const void* block) {
  if (block == nullptr || providerCount_.load(std::memory_order_acquire) == 0) return;
  std::lock_guard lock(mutex_);
  for (const auto& [thread, provider] : providers_) {
    std::lock_guard providerLock(provider->mutex);
    if (provider->pending == block) {
      provider->pending = nullptr;
      provider->released.notify_one();
    }
  }
}

void SearchHandler::WakeAll() {
  std::lock_guard lock(mutex_);
  for (const auto& [thread, provider] : providers_) {
    // Taking the provider's mutex orders the stopping flag before its next
    // check, so a provider about to wait cannot miss this wake-up.
    { std::lock_guard providerLock(provider->mutex); }
    provider->released.notify_all();
  }
}

} // namespace corvane
