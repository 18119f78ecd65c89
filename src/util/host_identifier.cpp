#include "util/host_identifier.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane {

namespace {

constexpr const char* kScript = "./scripts/get_id.sh";

// Starts `argv` (looked up in PATH, as a shell would) with its standard
// output on a pipe and its diagnostics (a missing sudo, a password prompt
// refused by -n) going nowhere: standard error is kept for failures that stop
// start-up. False when it cannot start.
bool Start(char* const argv[], pid_t& pid, int& output) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (failed != 0) {
    ::close(pipe[0]);
    pid = -1;
    return false;
  }
  output = pipe[0];
  return true;
}

// Reads to the end and reaps; empty when the read fails.
std::string Finish(pid_t& pid, int& output) {
  std::string text;
  if (output >= 0) {
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(output, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        text.clear();
        break;
      }
      if (n == 0) break;
      text.append(chunk, static_cast<size_t>(n));
    }
    ::close(output);
    output = -1;
  }
  if (pid > 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
  }
  return text;
}

// Whether `name` is an executable file in one of PATH's directories, as the
// spawn would look it up. Spawning a name that is nowhere costs a child and
// an exec attempt per directory before it fails.
bool OnPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string_view directories = path != nullptr ? path : "/bin:/usr/bin";
  for (;;) {
    const size_t colon = directories.find(':');
    std::string candidate(directories.substr(0, colon));
    // An empty entry names the working directory.
    candidate += candidate.empty() ? "" : "/";
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    directories.remove_prefix(colon + 1);
  }
}

bool StartScript(pid_t& pid, int& output) {
  char* argv[] = {const_cast<char*>(kScript), nullptr};
  return Start(argv, pid, output);
}

} // namespace

HostIdentifierQuery::HostIdentifierQuery() {
  char* argv[] = {const_cast<char*>("sudo"), const_cast<char*>("-n"), const_cast<char*>(kScript),
                  nullptr};
  // Both runs see the credentials the process started with: a sudo that
  // answers is waited for here; the script itself runs on while start-up goes on.
  if (OnPath(argv[0]) && Start(argv, pid_, output_)) {
    sudoOutput_ = Finish(pid_, output_);
    if (!sudoOutput_.empty()) return;
  }
  StartScript(pid_, output_);
}

HostIdentifierQuery::~HostIdentifierQuery() {
  (void)Finish(pid_, output_);
}

std::string HostIdentifierQuery::Result() {
  std::string id = sudoOutput_.empty() ? Finish(pid_, output_) : sudoOutput_;
  return id.empty() ? std::string(kFallbackHostId) : id;
}

std::string ObtainHostIdentifier() {
  HostIdentifierQuery query;
  return query.Result();
}

} // namespace corvane
