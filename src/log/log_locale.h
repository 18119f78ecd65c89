#pragma once
#include <locale>

namespace corvane {

// The digit-grouping locale ("en_US.UTF-8"), set up once per process; the
// classic locale when the system lacks it.
const std::locale& LogLocale();

} // namespace corvane
