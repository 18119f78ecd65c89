#pragma once
#include <string_view>

namespace corvane {

// A file name cut before its first '.', the whole name when it has none:
// how plug-ins and modules are named in lines and documents.
constexpr std::string_view DisplayStem(std::string_view fileName) {
  return fileName.substr(0, fileName.find('.'));
}

} // namespace corvane
