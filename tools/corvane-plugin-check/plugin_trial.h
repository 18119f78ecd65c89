#pragma once
#include <string>
#include <vector>

namespace check {

// One --feed: an event delivered to OnEvent while the plug-in runs.
struct Feed {
  std::string type; // memory, status, alarm, log, video, audio
  std::string file; // the payload's bytes; empty: a typical payload
};

struct InspectOptions {
  std::string path; // the plug-in library
  int lifeMs = 300; // between Open and Close, for worker and reader posts
  std::vector<Feed> feeds;
};

// Whether --feed knows the type.
bool KnownFeedType(const std::string& type);

// The child's side: loads the plug-in and drives it as the core would,
// reporting every step and every posted event on `fd`. Never returns.
[[noreturn]] void InspectInChild(const InspectOptions& options, int fd);

} // namespace check
