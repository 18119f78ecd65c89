#include "util/xml_path.h"

namespace corvane {

rapidxml::xml_node<char>* FindPath(const rapidxml::xml_node<char>* start, std::string_view path) {
  rapidxml::xml_node<char>* node = const_cast<rapidxml::xml_node<char>*>(start);
  while (node != nullptr && !path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    node = node->first_node(name.data(), name.size());
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return node;
}

rapidxml::xml_node<char>* NextNamed(const rapidxml::xml_node<char>* node) {
  return node->next_sibling(node->name(), node->name_size());
}

} // namespace corvane
