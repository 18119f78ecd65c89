#include "ipcam/url_mask.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace ipcam {

namespace {

// Query keys cameras commonly take credentials in.
bool SecretKey(std::string key) {
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static constexpr std::array<std::string_view, 7> kKeys = {"user", "username", "password", "pass",
                                                            "pwd",  "token",    "auth"};
  return std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end();
}

} // namespace

std::string MaskedUrl(const std::string& url) {
  std::string out = url;
  const size_t scheme = out.find("://");
  if (scheme != std::string::npos) {
    const size_t host = scheme + 3;
    const size_t path = out.find_first_of("/?#", host);
    const size_t at = out.rfind('@', path == std::string::npos ? std::string::npos : path);
    if (at != std::string::npos && at >= host) out.replace(host, at - host, "***");
  }
  const size_t query = out.find('?');
  if (query == std::string::npos) return out;
  for (size_t start = query + 1; start < out.size();) {
    size_t end = out.find_first_of("&#", start);
    if (end == std::string::npos) end = out.size();
    const size_t eq = out.find('=', start);
    if (eq != std::string::npos && eq < end && SecretKey(out.substr(start, eq - start))) {
      out.replace(eq + 1, end - eq - 1, "***");
      end = eq + 4;
    }
    if (end >= out.size() || out[end] == '#') break;
    start = end + 1;
  }
  return out;
}

} // namespace ipcam
