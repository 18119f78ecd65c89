#pragma once
#include <boost/asio/ip/tcp.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The endpoint of a `Listen` value: "127.0.0.1:9464", "[::1]:9464",
// "0.0.0.0:9464". Addresses only: resolving a name could block start-up.
// On failure `error` says what is wrong with the value, quoting it.
std::optional<boost::asio::ip::tcp::endpoint> ParseListenAddress(std::string_view text,
                                                                 std::string& error);

} // namespace corvane
