// Text for an XML attribute value in double quotes, for the alarms plug-ins
// post (camera states, recorder states, anything with a name or a reason):
// the five markup characters escaped, control characters (which XML 1.0
// cannot carry) turned into spaces. C++17, standard library only.
#ifndef RK_CORE_XML_ATTRIBUTE_HPP
#define RK_CORE_XML_ATTRIBUTE_HPP

#include <string>
#include <string_view>

namespace rk::core {

inline std::string XmlAttribute(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&apos;";
      break;
    default:
      out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
  }
  return out;
}

} // namespace rk::core

#endif // RK_CORE_XML_ATTRIBUTE_HPP
