#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "http/http_routes.h"

namespace corvane {

// A small HTTP/1.1 server for the status endpoint, run by the I/O thread
// that runs `io`: asynchronous throughout, no thread of its own. A client can
// hold one of `maxConnections` slots for at most `requestTimeout` per request
// and cannot make the server buffer more than `maxRequestBytes`; nothing it
// does blocks the I/O thread's other work.
//
// Threads: every member, the sessions included, belongs to the I/O thread;
// Start and Stop are called there, or while `io` is not running.
class HttpServer {
public:
  struct Limits {
    size_t maxConnections = 64;
    size_t maxRequestBytes = 8 * 1024; // request line and headers; more: 431
    std::chrono::milliseconds requestTimeout{5000};
  };

  HttpServer(boost::asio::io_context& io, HttpRoutes routes);
  HttpServer(boost::asio::io_context& io, HttpRoutes routes, Limits limits);
  ~HttpServer(); // closes what Stop did not
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; false with the system's reason in `error` (e.g. the
  // port is in use).
  bool Start(const boost::asio::ip::tcp::endpoint& endpoint, std::string& error);
  // Closes the listening socket and every connection.
  void Stop();
  // The bound endpoint (the port chosen when asked for port 0).
  boost::asio::ip::tcp::endpoint LocalEndpoint() const;
  size_t Connections() const;

  // Shared with the sessions, which may outlive the server by a completion.
  struct State;

private:
  std::shared_ptr<State> state_;
};

} // namespace corvane
