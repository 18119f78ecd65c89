#pragma once
// Turns the core's own documents (declaration, elements, attributes, text)
// into XML text. The bytes are a contract: "core.xml" is read back at the next
// start and plug-ins parse the event payloads.
#include <cstddef>
#include <rapidxml/rapidxml.hpp>
#include <string>

namespace corvane {

enum class XmlMode {
  kIndented = 0, // tabs per nesting level, one line per node
  kFlat = 1,     // no tab, no line feed
};

// Appends the document's text to `out`.
void PrintXml(const rapidxml::xml_node<char>& document, XmlMode mode, std::string& out);

// Bytes the indented form occupies; the flat form is never longer.
size_t XmlPrintedSize(const rapidxml::xml_node<char>& document);

// Flat text in a string reserved at `sizeHint` (an event payload).
std::string PrintXmlText(const rapidxml::xml_node<char>& document, size_t sizeHint);

} // namespace corvane
