#include "util/host_identifier.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace corvane {

namespace {

// The script's standard output, read to the end. Its diagnostics (a missing
// sudo, a password prompt refused by -n) go nowhere: standard error is kept
// for failures that stop start-up.
std::string RunForOutput(const char* command) {
  const std::string line = std::string(command) + " 2>/dev/null";
  FILE* pipe = ::popen(line.c_str(), "re");
  if (pipe == nullptr) return {};
  std::string text;
  char chunk[4096];
  const int fd = ::fileno(pipe);
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      text.clear();
      break;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  ::pclose(pipe);
  return text;
}

} // namespace

std::string ObtainHostIdentifier() {
  std::string id = RunForOutput("sudo -n ./scripts/get_id.sh");
  if (!id.empty()) return id;
  id = RunForOutput("./scripts/get_id.sh");
  if (!id.empty()) return id;
  return kFallbackHostId;
}

} // namespace corvane
