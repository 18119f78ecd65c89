#include "check_protocol.h"

#include <cstdio>

namespace check {

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && nibble(text[i + 1]) >= 0 &&
        nibble(text[i + 2]) >= 0) {
      out += static_cast<char>(nibble(text[i + 1]) * 16 + nibble(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t end = line.find(' ', start);
    if (end == std::string_view::npos) {
      if (start < line.size()) words.emplace_back(line.substr(start));
      break;
    }
    words.emplace_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

} // namespace check
