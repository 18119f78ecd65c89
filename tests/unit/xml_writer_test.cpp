#include <gtest/gtest.h>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <string>

#include "config/xml_writer.h"

using namespace corvane;

namespace {

using Node = rapidxml::xml_node<char>;

// The document lives on the heap: its 64 KiB pool is too big for comfort
// on the stack, and GCC misreads the pool's placement there.
struct Doc {
  std::unique_ptr<rapidxml::xml_document<char>> owner =
      std::make_unique<rapidxml::xml_document<char>>();
  rapidxml::xml_document<char>& doc = *owner;
  Node* Element(Node* parent, const char* name, const char* value = "") {
    Node* node = doc.allocate_node(rapidxml::node_element, name, value);
    parent->append_node(node);
    return node;
  }
  void Attr(Node* node, const char* name, const char* value) {
    node->append_attribute(doc.allocate_attribute(name, value));
  }
  std::string Indented() {
    std::string out;
    PrintXml(doc, XmlMode::kIndented, out);
    return out;
  }
  std::string Flat() {
    std::string out;
    PrintXml(doc, XmlMode::kFlat, out);
    return out;
  }
};

} // namespace

TEST(XmlWriter, StatusShapeInBothModes) {
  Doc d;
  d.doc.append_node(d.doc.allocate_node(rapidxml::node_declaration));
  Node* varn = d.Element(&d.doc, "Varn");
  Node* memory = d.Element(varn, "Memory");
  d.Attr(memory, "ID", "-2147483648");
  d.Attr(memory, "Throttling", "1");
  Node* modules = d.Element(varn, "Modules");
  d.Attr(modules, "A", "1");
  d.Element(d.Element(modules, "Module"), "Plugin");

  const std::string indented = d.Indented();
  EXPECT_EQ(indented, "<?xml?>\n"
                      "<Varn>\n"
                      "\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
                      "\t<Modules A=\"1\">\n"
                      "\t\t<Module>\n"
                      "\t\t\t<Plugin/>\n"
                      "\t\t</Module>\n"
                      "\t</Modules>\n"
                      "</Varn>\n"
                      "\n");
  EXPECT_EQ(d.Flat(), "<?xml?><Varn><Memory ID=\"-2147483648\" Throttling=\"1\"/><Modules "
                      "A=\"1\"><Module><Plugin/></Module></Modules></Varn>");
  EXPECT_EQ(XmlPrintedSize(d.doc), indented.size());
  const std::string event = PrintXmlText(d.doc, XmlPrintedSize(d.doc));
  EXPECT_EQ(event, d.Flat());
  EXPECT_GE(event.capacity(), indented.size());
}

TEST(XmlWriter, QuotesAndEscapes) {
  Doc d;
  Node* e = d.Element(&d.doc, "E");
  d.Attr(e, "dq", "say \"hi\"");
  d.Attr(e, "both", "it's \"x\"");
  d.Attr(e, "sq", "it's");
  d.Attr(e, "mix", "a<b&c>");
  d.Attr(e, "", "dropped");
  EXPECT_EQ(d.Flat(), "<E dq='say \"hi\"' both='it&apos;s \"x\"' sq=\"it's\" "
                      "mix=\"a&lt;b&amp;c&gt;\"/>");
}

TEST(XmlWriter, ElementTextEscapesAllFiveOnOneLine) {
  Doc d;
  Node* outer = d.Element(&d.doc, "Outer");
  d.Element(outer, "V", "a<b&c\"d'e>");
  Node* withData = d.Element(outer, "T");
  withData->append_node(d.doc.allocate_node(rapidxml::node_data, nullptr, "x&y"));
  EXPECT_EQ(d.Indented(), "<Outer>\n"
                          "\t<V>a&lt;b&amp;c&quot;d&apos;e&gt;</V>\n"
                          "\t<T>x&amp;y</T>\n"
                          "</Outer>\n"
                          "\n");
  EXPECT_EQ(d.Flat(), "<Outer><V>a&lt;b&amp;c&quot;d&apos;e&gt;</V><T>x&amp;y</T></Outer>");
  EXPECT_EQ(XmlPrintedSize(d.doc), d.Indented().size());
}

TEST(XmlWriter, AppendsToTheGivenText) {
  Doc d;
  d.Element(&d.doc, "A");
  std::string out = "head:";
  PrintXml(d.doc, XmlMode::kFlat, out);
  EXPECT_EQ(out, "head:<A/>");
}
