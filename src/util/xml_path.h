#pragma once
#include <rapidxml/rapidxml.hpp>
#include <string_view>

namespace corvane {

// First element matching a '/'-separated path of exact, case-sensitive
// names, starting at `start` (usually the document); null when none. Further
// matches of the last step are its next siblings of the same name.
rapidxml::xml_node<char>* FindPath(const rapidxml::xml_node<char>* start, std::string_view path);

// Next sibling element with the same name as `node`, or null.
rapidxml::xml_node<char>* NextNamed(const rapidxml::xml_node<char>* node);

} // namespace corvane
