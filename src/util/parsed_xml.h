#pragma once
// An XML text parsed in place: rapidxml needs a writable, NUL-terminated
// buffer that outlives the document. The document carries a 64 KiB pool, so
// callers keep a ParsedXml on the heap. Parsing failures raise
// rapidxml::parse_error.
#include <rapidxml/rapidxml.hpp>
#include <string_view>
#include <vector>

namespace corvane {

struct ParsedXml {
  explicit ParsedXml(std::string_view content) : text(content.begin(), content.end()) {
    text.push_back('\0');
    document.parse<0>(text.data());
  }
  ParsedXml(const ParsedXml&) = delete;
  ParsedXml& operator=(const ParsedXml&) = delete;

  std::vector<char> text; // the parsed copy; the document points into it
  rapidxml::xml_document<char> document;
};

} // namespace corvane
