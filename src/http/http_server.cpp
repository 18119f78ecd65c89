#include "http/http_server.h"

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <set>

#include "http/status_page.h"

namespace corvane {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

class HttpSession;

struct HttpServer::State {
  State(boost::asio::io_context& io, HttpRoutes r, Limits l)
      : routes(std::move(r)), limits(l), acceptor(io), retry(io) {}

  HttpRoutes routes;
  Limits limits;
  tcp::acceptor acceptor;
  boost::asio::steady_timer retry; // paces accepting after a failed accept
  // Live sessions; each leaves when its connection ends. Sessions keep
  // themselves alive through their pending operations: these do not own.
  std::set<HttpSession*> sessions;
};

namespace {

struct Answer {
  http::status status = http::status::ok;
  std::string contentType = "text/plain; charset=utf-8";
  std::string body;
};

Answer Plain(http::status status, std::string body) {
  return {status, "text/plain; charset=utf-8", std::move(body)};
}

Answer Route(const HttpRoutes& routes, http::verb method, std::string_view target) {
  if (method != http::verb::get && method != http::verb::head)
    return Plain(http::status::method_not_allowed, "only GET and HEAD\n");
  const std::string_view path = target.substr(0, target.find('?'));
  try {
    if (path == "/")
      return {http::status::ok, "text/html; charset=utf-8", std::string(kStatusPage)};
    if (path == "/metrics" && routes.metrics)
      return {http::status::ok, "text/plain; version=0.0.4; charset=utf-8", routes.metrics()};
    if (path == "/healthz" && routes.healthProblem) {
      const std::string problem = routes.healthProblem();
      if (problem.empty()) return Plain(http::status::ok, "ok\n");
      return Plain(http::status::service_unavailable, problem + "\n");
    }
    if (path == "/api/status" && routes.status) {
      nlohmann::json document = routes.status();
      document["log"] =
          routes.recentWarnings ? routes.recentWarnings() : std::vector<std::string>{};
      if (routes.healthProblem) {
        const std::string problem = routes.healthProblem();
        document["health"] = problem.empty() ? "ok" : problem;
      }
      return {http::status::ok, "application/json",
              document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
    }
  } catch (const std::exception& error) {
    return Plain(http::status::internal_server_error, std::string(error.what()) + "\n");
  } catch (...) {
    return Plain(http::status::internal_server_error, "internal error\n");
  }
  return Plain(http::status::not_found, "not found\n");
}

} // namespace

// One connection: read a request within the time limit, answer, repeat while
// the client keeps the connection.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
  HttpSession(std::shared_ptr<HttpServer::State> state, tcp::socket socket)
      : state_(std::move(state)), stream_(std::move(socket)) {
    state_->sessions.insert(this);
  }
  ~HttpSession() { state_->sessions.erase(this); }

  void Read() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(state_->limits.maxRequestBytes));
    parser_->body_limit(state_->limits.maxRequestBytes);
    stream_.expires_after(state_->limits.requestTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, size_t) { self->OnRead(error); });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

private:
  // Ends a connection after its last answer: closing with unread request
  // bytes would reset it and could discard the answer before the client
  // reads it, so send FIN and drain until the client closes or the deadline
  // set for the answer passes.
  void Finish() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    Drain();
  }

  void Drain() {
    stream_.async_read_some(boost::asio::buffer(drain_),
                            [self = shared_from_this()](beast::error_code error, size_t) {
                              if (error) return self->Close();
                              self->Drain();
                            });
  }

  void OnRead(beast::error_code error) {
    if (error == http::error::header_limit)
      return Refuse(http::status::request_header_fields_too_large);
    if (error == http::error::body_limit) return Refuse(http::status::payload_too_large);
    // Time-out, the client gone, a malformed request or Stop: drop it.
    if (error) return Close();
    const auto& request = parser_->get();
    const auto target = request.target();
    const Answer answer =
        Route(state_->routes, request.method(), std::string_view(target.data(), target.size()));
    Respond(answer, request.method() == http::verb::head, request.keep_alive());
  }

  // Over a limit: answer and end the connection, whatever else it sent.
  void Refuse(http::status status) {
    Respond(Plain(status, std::string(obsolete_reason(status)) + "\n"), false, false);
  }

  void Respond(const Answer& answer, bool headOnly, bool keepAlive) {
    response_ = {};
    response_.result(answer.status);
    response_.set(http::field::content_type, answer.contentType);
    response_.set(http::field::cache_control, "no-store");
    if (answer.status == http::status::method_not_allowed)
      response_.set(http::field::allow, "GET, HEAD");
    response_.body() = answer.body;
    response_.prepare_payload();
    response_.keep_alive(keepAlive);
    serializer_.emplace(response_);
    // A client that does not read its answer gets the same time.
    stream_.expires_after(state_->limits.requestTimeout);
    auto done = [self = shared_from_this(), keepAlive](beast::error_code error, size_t) {
      if (error) return self->Close();
      if (!keepAlive) return self->Finish();
      self->Read();
    };
    if (headOnly)
      http::async_write_header(stream_, *serializer_, std::move(done));
    else
      http::async_write(stream_, *serializer_, std::move(done));
  }

  std::shared_ptr<HttpServer::State> state_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  std::optional<http::response_serializer<http::string_body>> serializer_;
  std::array<char, 4096> drain_;
};

namespace {

void Accept(const std::shared_ptr<HttpServer::State>& state) {
  state->acceptor.async_accept([state](beast::error_code error, tcp::socket socket) {
    if (error == boost::asio::error::operation_aborted || !state->acceptor.is_open()) return;
    if (!error) {
      if (state->sessions.size() >= state->limits.maxConnections) {
        // Full: closed at once, so the client knows rather than waits.
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<HttpSession>(state, std::move(socket))->Read();
      }
      return Accept(state);
    }
    // Out of descriptors leaves the connection waiting, so accepting again
    // at once would fail at once, over and over, on the I/O thread.
    state->retry.expires_after(std::chrono::milliseconds(100));
    state->retry.async_wait([state](beast::error_code failed) {
      if (!failed && state->acceptor.is_open()) Accept(state);
    });
  });
}

} // namespace

HttpServer::HttpServer(boost::asio::io_context& io, HttpRoutes routes)
    : HttpServer(io, std::move(routes), Limits{}) {}

HttpServer::HttpServer(boost::asio::io_context& io, HttpRoutes routes, Limits limits)
    : state_(std::make_shared<State>(io, std::move(routes), limits)) {}

HttpServer::~HttpServer() {
  Stop();
}

bool HttpServer::Start(const tcp::endpoint& endpoint, std::string& error) {
  beast::error_code failure;
  auto& acceptor = state_->acceptor;
  acceptor.open(endpoint.protocol(), failure);
  if (!failure) acceptor.set_option(tcp::acceptor::reuse_address(true), failure);
  if (!failure) acceptor.bind(endpoint, failure);
  if (!failure) acceptor.listen(boost::asio::socket_base::max_listen_connections, failure);
  if (failure) {
    error = failure.message();
    beast::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  Accept(state_);
  return true;
}

void HttpServer::Stop() {
  beast::error_code ignored;
  state_->acceptor.close(ignored);
  state_->retry.cancel();
  // Closing cancels each session's pending operation; its completion then
  // drops the last reference.
  const std::set<HttpSession*> sessions = state_->sessions;
  for (HttpSession* session : sessions) session->Close();
}

tcp::endpoint HttpServer::LocalEndpoint() const {
  beast::error_code ignored;
  return state_->acceptor.local_endpoint(ignored);
}

size_t HttpServer::Connections() const {
  return state_->sessions.size();
}

} // namespace corvane
