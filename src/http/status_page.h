#pragma once
#include <string_view>

namespace corvane {

// status_page.html, embedded at build time: the page GET / serves.
extern const std::string_view kStatusPage;

} // namespace corvane
