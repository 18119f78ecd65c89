#include "http/listen_address.h"

#include <charconv>
#include <fmt/format.h>

namespace corvane {

std::optional<boost::asio::ip::tcp::endpoint> ParseListenAddress(std::string_view text,
                                                                 std::string& error) {
  const auto fail = [&](std::string_view why) {
    error = fmt::format("Listen \"{}\": {} (expected address:port, e.g. 127.0.0.1:9464 or "
                        "[::1]:9464)",
                        text, why);
    return std::nullopt;
  };
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return fail("no ']' after the IPv6 address");
    if (close + 1 >= text.size() || text[close + 1] != ':') return fail("no port after ']'");
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return fail("no port");
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return fail("an IPv6 address needs brackets");
  }
  unsigned value = 0;
  const auto [end, status] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || status != std::errc() || end != port.data() + port.size() || value == 0 ||
      value > 65535)
    return fail(fmt::format("port \"{}\" is not a number from 1 to 65535", port));
  boost::system::error_code bad;
  const auto address = boost::asio::ip::make_address(std::string(host), bad);
  if (bad || (text.front() == '[') != address.is_v6())
    return fail(fmt::format("\"{}\" is not an IP address", host));
  return boost::asio::ip::tcp::endpoint(address, static_cast<unsigned short>(value));
}

} // namespace corvane
