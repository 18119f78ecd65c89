#pragma once
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tap/tap_record.h"

namespace corvane {

// The live event tap: a Unix stream socket (in the core's working directory)
// where corvane-tap clients connect, send one filter line (see TapFilter) and
// then receive one text line per routed record that matches it.
//
// Threads: Start and Stop on the owner's thread; Active and Publish from any
// thread (the dispatch loop). Everything else - acceptor, clients, their
// filters and write queues - belongs to the tap's own thread, which Publish
// only posts to. Nothing here ever blocks the caller of Publish: records past
// the backlog limit, and lines a slow client cannot take, are dropped and the
// client is told how many.
class TapServer {
public:
  // Where the tap reports its own failures (level 25 Info, 75 Error).
  using LogSink = std::function<void(int32_t level, const std::string& text)>;

  static constexpr size_t kMaxBacklog = 10000;        // records posted, not yet handled
  static constexpr size_t kMaxClientBytes = 1u << 20; // queued for one client
  static constexpr size_t kMaxFilterLine = 1024;

  explicit TapServer(LogSink log = {});
  ~TapServer(); // Stop
  TapServer(const TapServer&) = delete;
  TapServer& operator=(const TapServer&) = delete;

  // Listens at `path`, replacing a socket file nobody answers on, and starts
  // the tap's thread. False, with the reason logged, when it cannot.
  bool Start(const std::string& path);
  // Closes every client, ends the thread and removes the socket file.
  void Stop();

  // Whether anybody taps: the dispatch loop's only cost when nobody does.
  bool Active() const noexcept { return clients_.load(std::memory_order_relaxed) != 0; }
  // Hands one routed record and its receivers to the tap's thread.
  void Publish(TapRecord record, std::vector<TapReceiver> receivers);

private:
  struct Client;
  using Protocol = boost::asio::local::stream_protocol;

  void Accept();
  void ReadFilter(const std::shared_ptr<Client>& client);
  void WatchForClose(const std::shared_ptr<Client>& client);
  void Deliver(const TapRecord& record, const std::vector<TapReceiver>& receivers);
  void Enqueue(const std::shared_ptr<Client>& client, std::string line);
  void WriteNext(const std::shared_ptr<Client>& client);
  void Drop(const std::shared_ptr<Client>& client);

  LogSink log_;
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  Protocol::acceptor acceptor_;
  std::thread thread_;
  std::string path_;                  // owner's thread
  std::atomic<int> clients_{0};       // clients with a filter; written on the tap's thread
  std::atomic<size_t> backlog_{0};    // posted by Publish, not yet delivered
  std::atomic<uint64_t> overflow_{0}; // records Publish dropped at the backlog limit
  std::vector<std::shared_ptr<Client>> tapping_; // the tap's thread only
};

} // namespace corvane
