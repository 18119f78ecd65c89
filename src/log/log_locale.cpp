#include "log/log_locale.h"

#include <stdexcept>

namespace corvane {

const std::locale& LogLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("en_US.UTF-8");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

} // namespace corvane
