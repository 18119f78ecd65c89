// corvane-plugin-check PATH.so: drives a plug-in through Load, Open, Close
// and Unload in a child process, as the core would, and reports what it saw.
// Exit status: 0 no problem found, 1 problems found, 2 usage or system error.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "check_protocol.h"
#include "check_report.h"
#include "plugin_trial.h"

namespace fs = std::filesystem;

namespace {

void Usage(std::FILE* out) {
  fmt::print(out, "Usage: corvane-plugin-check [--timeout SECONDS] [--life MS] [--workdir DIR] "
                  "[--feed TYPE[:FILE]]... PATH.so\n"
                  "  Loads the plug-in in a child process, calls Load, Open, Close and Unload as\n"
                  "  the core does, runs its worker and reader threads, and reports its entry\n"
                  "  points, id, accept words, flags, timings, posted events and problems.\n"
                  "  --timeout  limit for each entry point call and for the worker and reader\n"
                  "             threads to return after Close (default 5)\n"
                  "  --life     time between Open and Close (default 300)\n"
                  "  --workdir  working directory of the plug-in (default: a fresh temporary\n"
                  "             directory, removed afterwards)\n"
                  "  --feed     deliver one event to OnEvent after Open, as the core would route\n"
                  "             it: memory (the core's memory alarm), status (the core's status\n"
                  "             document), alarm, log, video or audio (media records with their\n"
                  "             media description); FILE gives the payload's bytes. Reports what\n"
                  "             it kept and released. Repeatable.\n"
                  "Exit status: 0 no problem found, 1 problems found, 2 usage or system error.\n");
}

bool Positive(const char* text, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v <= 0 || v > 3600 * 1000) return false;
  value = static_cast<int>(v);
  return true;
}

} // namespace

int main(int argc, char** argv) {
  check::InspectOptions options;
  int timeoutSeconds = 5;
  std::string workdir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    }
    if ((arg == "--timeout" || arg == "--life" || arg == "--workdir" || arg == "--feed") &&
        i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--feed") {
        const std::string text = value;
        const size_t colon = text.find(':');
        check::Feed feed{text.substr(0, colon),
                         colon == std::string::npos ? std::string() : text.substr(colon + 1)};
        if (!check::KnownFeedType(feed.type)) {
          fmt::print(stderr, "corvane-plugin-check: unknown --feed type: {}\n", feed.type);
          return 2;
        }
        if (!feed.file.empty() && !fs::is_regular_file(feed.file)) {
          fmt::print(stderr, "corvane-plugin-check: --feed {}: no such file: {}\n", feed.type,
                     feed.file);
          return 2;
        }
        if (!feed.file.empty()) feed.file = fs::absolute(feed.file).string();
        options.feeds.push_back(std::move(feed));
      } else if (arg == "--workdir") {
        workdir = value;
      } else if (!Positive(value, arg == "--timeout" ? timeoutSeconds : options.lifeMs)) {
        fmt::print(stderr, "corvane-plugin-check: bad value for {}: {}\n", arg, value);
        return 2;
      }
    } else if (!arg.empty() && arg[0] != '-' && options.path.empty()) {
      options.path = arg;
    } else {
      Usage(stderr);
      return 2;
    }
  }
  if (options.path.empty()) {
    Usage(stderr);
    return 2;
  }
  // The child changes directory; a relative plug-in path must still resolve,
  // and a bare file name means the file here, not a search of the library path.
  std::error_code error;
  const fs::path absolute = fs::absolute(options.path, error);
  if (!error) options.path = absolute.string();

  bool temporary = false;
  if (workdir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "corvane-plugin-check-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      fmt::print(stderr, "corvane-plugin-check: cannot create a working directory: {}\n",
                 std::strerror(errno));
      return 2;
    }
    workdir = pattern;
    temporary = true;
  }

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    fmt::print(stderr, "corvane-plugin-check: pipe: {}\n", std::strerror(errno));
    return 2;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    fmt::print(stderr, "corvane-plugin-check: fork: {}\n", std::strerror(errno));
    return 2;
  }
  if (pid == 0) {
    ::close(fds[0]);
    // Whatever the plug-in prints stays out of the report on standard output.
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    if (::chdir(workdir.c_str()) != 0) ::_exit(3);
    check::InspectInChild(options, fds[1]);
  }
  ::close(fds[1]);

  check::CheckReport report(options.path);
  using Clock = std::chrono::steady_clock;
  bool timed = false; // a main-thread step is running against `deadline`
  Clock::time_point deadline{};
  std::string pending;
  for (;;) {
    int wait = -1;
    if (timed) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      report.TimedOut(timeoutSeconds);
      ::kill(pid, SIGKILL);
      break;
    }
    char buffer[8192];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (report.Apply(line)) {
        timed = true;
        deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
      } else if (report.CurrentStep().empty()) {
        timed = false;
      }
    }
    if (report.Done()) break;
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  report.ChildEnded(status);
  const int problems = report.Print(stdout);
  if (temporary) fs::remove_all(workdir, error);
  return problems == 0 ? 0 : 1;
}
