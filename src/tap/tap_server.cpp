#include "tap/tap_server.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <fmt/format.h>
#include <istream>
#include <sys/stat.h>
#include <unistd.h>

#include "tap/tap_filter.h"

namespace corvane {

namespace asio = boost::asio;

struct TapServer::Client {
  explicit Client(asio::io_context& io) : socket(io), input(kMaxFilterLine) {}
  Protocol::socket socket;
  asio::streambuf input; // the filter line, then whatever the client sends
  TapFilter filter;
  std::deque<std::string> queue; // lines not yet written, each with its newline
  size_t queuedBytes = 0;
  uint64_t dropped = 0; // lines not queued since the last note
  bool writing = false;
  bool closed = false;
};

TapServer::TapServer(LogSink log)
    : log_(std::move(log)), work_(io_.get_executor()), acceptor_(io_) {}

TapServer::~TapServer() {
  Stop();
}

bool TapServer::Start(const std::string& path) {
  const auto fail = [&](const std::string& why) {
    if (log_) log_(75, fmt::format("Event tap: cannot listen on {}: {}", path, why));
    return false;
  };
  boost::system::error_code error;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) return fail("a file that is not a socket is in the way");
    // A socket somebody still answers on belongs to another core.
    Protocol::socket probe(io_);
    probe.connect(Protocol::endpoint(path), error);
    if (!error) return fail("another process listens on it");
    ::unlink(path.c_str());
  }
  acceptor_.open(Protocol(), error);
  if (!error) acceptor_.bind(Protocol::endpoint(path), error);
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    acceptor_.close();
    return fail(error.message());
  }
  path_ = path;
  Accept();
  thread_ = std::thread([this] { io_.run(); });
  return true;
}

void TapServer::Stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (const auto& client : tapping_) {
      client->closed = true;
      client->socket.close(ignored);
    }
    tapping_.clear();
    clients_.store(0, std::memory_order_relaxed);
    work_.reset();
  });
  thread_.join();
  ::unlink(path_.c_str());
}

void TapServer::Publish(TapRecord record, std::vector<TapReceiver> receivers) {
  if (backlog_.fetch_add(1, std::memory_order_relaxed) >= kMaxBacklog) {
    backlog_.fetch_sub(1, std::memory_order_relaxed);
    overflow_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  asio::post(io_, [this, record = std::move(record), receivers = std::move(receivers)] {
    backlog_.fetch_sub(1, std::memory_order_relaxed);
    Deliver(record, receivers);
  });
}

void TapServer::Accept() {
  auto client = std::make_shared<Client>(io_);
  acceptor_.async_accept(client->socket, [this, client](const boost::system::error_code& error) {
    if (error == asio::error::operation_aborted) return;
    if (!error) ReadFilter(client);
    Accept();
  });
}

void TapServer::ReadFilter(const std::shared_ptr<Client>& client) {
  asio::async_read_until(client->socket, client->input, '\n',
                         [this, client](const boost::system::error_code& error, size_t) {
                           if (error)
                             return; // gone, or a line too long: the socket closes with `client`
                           std::istream in(&client->input);
                           std::string line;
                           std::getline(in, line);
                           if (!line.empty() && line.back() == '\r') line.pop_back();
                           std::string why;
                           if (!client->filter.Parse(line, why)) {
                             Enqueue(client, "error: " + why);
                             client->closed = true; // closes once the error line is written
                             return;
                           }
                           // Counted before the header goes out (a write may leave
                           // at once): a client that has read it misses nothing.
                           tapping_.push_back(client);
                           clients_.store(static_cast<int>(tapping_.size()),
                                          std::memory_order_relaxed);
                           Enqueue(client, "tap: " + client->filter.Describe());
                           WatchForClose(client);
                         });
}

void TapServer::WatchForClose(const std::shared_ptr<Client>& client) {
  // Clients send nothing after the filter: a read ends when they go.
  client->socket.async_read_some(client->input.prepare(64),
                                 [this, client](const boost::system::error_code& error, size_t n) {
                                   if (error) return Drop(client);
                                   client->input.commit(n);
                                   client->input.consume(client->input.size());
                                   WatchForClose(client);
                                 });
}

void TapServer::Drop(const std::shared_ptr<Client>& client) {
  boost::system::error_code ignored;
  client->closed = true;
  client->socket.close(ignored);
  const auto it = std::find(tapping_.begin(), tapping_.end(), client);
  if (it == tapping_.end()) return;
  tapping_.erase(it);
  clients_.store(static_cast<int>(tapping_.size()), std::memory_order_relaxed);
}

void TapServer::Deliver(const TapRecord& record, const std::vector<TapReceiver>& receivers) {
  if (const uint64_t lost = overflow_.exchange(0, std::memory_order_relaxed); lost != 0) {
    for (const auto& client : tapping_)
      Enqueue(client, fmt::format("... {} record(s) not shown: the tap fell behind", lost));
  }
  std::string line; // formatted once, for the first client that wants it
  for (const auto& client : tapping_) {
    if (!client->filter.Matches(record, receivers)) continue;
    if (line.empty()) line = FormatTapLine(record, receivers);
    Enqueue(client, line);
  }
}

void TapServer::Enqueue(const std::shared_ptr<Client>& client, std::string line) {
  if (client->queuedBytes + line.size() + 1 > kMaxClientBytes) {
    ++client->dropped;
    return;
  }
  if (client->dropped != 0) {
    std::string note =
        fmt::format("... {} line(s) not shown: the client fell behind\n", client->dropped);
    client->dropped = 0;
    client->queuedBytes += note.size();
    client->queue.push_back(std::move(note));
  }
  line += '\n';
  client->queuedBytes += line.size();
  client->queue.push_back(std::move(line));
  if (!client->writing) WriteNext(client);
}

void TapServer::WriteNext(const std::shared_ptr<Client>& client) {
  if (client->queue.empty()) {
    client->writing = false;
    if (client->closed) {
      boost::system::error_code ignored;
      client->socket.shutdown(Protocol::socket::shutdown_both, ignored);
      client->socket.close(ignored);
    }
    return;
  }
  client->writing = true;
  asio::async_write(client->socket, asio::buffer(client->queue.front()),
                    [this, client](const boost::system::error_code& error, size_t) {
                      if (error) return Drop(client);
                      client->queuedBytes -= client->queue.front().size();
                      client->queue.pop_front();
                      WriteNext(client);
                    });
}

} // namespace corvane
