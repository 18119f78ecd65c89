#pragma once
#include <string>

namespace check {

struct InspectOptions {
  std::string path; // the plug-in library
  int lifeMs = 300; // between Open and Close, for worker and reader posts
};

// The child's side: loads the plug-in and drives it as the core would,
// reporting every step and every posted event on `fd`. Never returns.
[[noreturn]] void InspectInChild(const InspectOptions& options, int fd);

} // namespace check
