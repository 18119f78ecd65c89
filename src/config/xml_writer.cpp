#include "config/xml_writer.h"

#include <string_view>

namespace corvane {

using rapidxml::xml_node;

namespace {

// Counts instead of storing, so the size pass and the print pass share one
// set of rules.
struct CountSink {
  size_t size = 0;
  void Put(char) { ++size; }
  void Put(std::string_view text) { size += text.size(); }
  void Tabs(int count) { size += static_cast<size_t>(count); }
};

struct TextSink {
  std::string& out;
  void Put(char c) { out.push_back(c); }
  void Put(std::string_view text) { out.append(text); }
  void Tabs(int count) { out.append(static_cast<size_t>(count), '\t'); }
};

template <typename Sink> class Writer {
public:
  Writer(Sink& sink, bool indent) : sink_(sink), indent_(indent) {}

  void Node(const xml_node<char>& node, int depth) {
    switch (node.type()) {
    case rapidxml::node_document:
      Children(node, depth);
      break;
    case rapidxml::node_declaration:
      Indent(depth);
      sink_.Put("<?xml");
      Attributes(node);
      sink_.Put("?>");
      break;
    case rapidxml::node_element:
      Element(node, depth);
      break;
    case rapidxml::node_data:
      Indent(depth);
      Escaped(Value(node), '\0');
      break;
    default:
      return; // the core's documents hold no other kinds
    }
    LineFeed();
  }

private:
  static std::string_view Name(const xml_node<char>& node) {
    return {node.name(), node.name_size()};
  }
  static std::string_view Value(const xml_node<char>& node) {
    return {node.value(), node.value_size()};
  }

  void Indent(int depth) {
    if (indent_) sink_.Tabs(depth);
  }
  void LineFeed() {
    if (indent_) sink_.Put('\n');
  }

  void Children(const xml_node<char>& node, int depth) {
    for (const auto* child = node.first_node(); child != nullptr; child = child->next_sibling())
      Node(*child, depth);
  }

  void Element(const xml_node<char>& node, int depth) {
    Indent(depth);
    sink_.Put('<');
    sink_.Put(Name(node));
    Attributes(node);
    const auto* child = node.first_node();
    if (node.value_size() == 0 && child == nullptr) {
      sink_.Put("/>");
      return;
    }
    sink_.Put('>');
    if (child == nullptr) {
      Escaped(Value(node), '\0');
    } else if (child->next_sibling() == nullptr && child->type() == rapidxml::node_data) {
      Escaped(Value(*child), '\0');
    } else {
      LineFeed();
      Children(node, depth + 1);
      Indent(depth);
    }
    sink_.Put("</");
    sink_.Put(Name(node));
    sink_.Put('>');
  }

  void Attributes(const xml_node<char>& node) {
    for (const auto* a = node.first_attribute(); a != nullptr; a = a->next_attribute()) {
      if (a->name_size() == 0) continue;
      const std::string_view value(a->value(), a->value_size());
      // Single quotes only when the value holds a double quote, which then
      // stays as it is.
      const char quote = value.find('"') == std::string_view::npos ? '"' : '\'';
      sink_.Put(' ');
      sink_.Put(std::string_view(a->name(), a->name_size()));
      sink_.Put('=');
      sink_.Put(quote);
      Escaped(value, quote == '"' ? '\'' : '"');
      sink_.Put(quote);
    }
  }

  // `keep` is copied unescaped ('\0': escape all five).
  void Escaped(std::string_view text, char keep) {
    for (const char c : text) {
      if (c == keep) {
        sink_.Put(c);
        continue;
      }
      switch (c) {
      case '&':
        sink_.Put("&amp;");
        break;
      case '<':
        sink_.Put("&lt;");
        break;
      case '>':
        sink_.Put("&gt;");
        break;
      case '"':
        sink_.Put("&quot;");
        break;
      case '\'':
        sink_.Put("&apos;");
        break;
      default:
        sink_.Put(c);
        break;
      }
    }
  }

  Sink& sink_;
  const bool indent_;
};

} // namespace

void PrintXml(const xml_node<char>& document, XmlMode mode, std::string& out) {
  TextSink sink{out};
  Writer<TextSink>(sink, mode == XmlMode::kIndented).Node(document, 0);
}

size_t XmlPrintedSize(const xml_node<char>& document) {
  CountSink sink;
  Writer<CountSink>(sink, true).Node(document, 0);
  return sink.size;
}

std::string PrintXmlText(const xml_node<char>& document, size_t sizeHint) {
  std::string text;
  text.reserve(sizeHint);
  PrintXml(document, XmlMode::kFlat, text);
  return text;
}

} // namespace corvane
