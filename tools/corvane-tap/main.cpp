// corvane-tap: shows, as they flow, the records a running core routes, with
// who received each. Talks to the core's tap socket in its working directory.
// Exit status: 0 the core hung up, 1 the core refused the filter or cannot be
// reached, 2 usage error.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void Usage(std::FILE* out) {
  std::fputs("Usage: corvane-tap [--type NAME[,NAME...]] [--source ID[,ID...]] [--to ID[,ID...]]\n"
             "                   [--socket PATH]\n"
             "  Prints one line per record the core routes: local time, type and class,\n"
             "  sender (id:name), search id, payload length, and the plug-ins that got it.\n"
             "  --type    video audio alarm ptz serial watchdog log config decref pos cancel\n"
             "            ipc crypto analytic, or a number\n"
             "  --source  only records from these plug-in ids (hex; 00 = the core)\n"
             "  --to      only records delivered to one of these plug-in ids (hex)\n"
             "  --socket  the core's tap socket (default: tap.sock, in the core's working\n"
             "            directory, so run it from there)\n"
             "Exit status: 0 the core went away, 1 no core or a bad filter, 2 usage error.\n",
             out);
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  std::string socketPath = "tap.sock", filter;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    }
    if ((arg == "--type" || arg == "--source" || arg == "--to" || arg == "--socket") &&
        i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--socket") {
        socketPath = value;
      } else {
        if (value.empty() || value.find_first_of(" \n=") != std::string::npos) {
          std::fprintf(stderr, "corvane-tap: bad value for %s: '%s'\n", arg.c_str(), value.c_str());
          return 2;
        }
        filter += (filter.empty() ? "" : " ") + arg.substr(2) + "=" + value;
      }
    } else {
      Usage(stderr);
      return 2;
    }
  }

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "corvane-tap: socket path too long: %s\n", socketPath.c_str());
    return 2;
  }
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "corvane-tap: no core listens on %s: %s\n", socketPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::signal(SIGPIPE, SIG_IGN);
  if (!WriteAll(fd, filter + "\n")) {
    std::fprintf(stderr, "corvane-tap: %s: %s\n", socketPath.c_str(), std::strerror(errno));
    return 1;
  }

  // Lines as they come; the first says what the core took the filter as.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string pending;
  bool first = true;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (first && line.rfind("error: ", 0) == 0) {
        std::fprintf(stderr, "corvane-tap: the core refused the filter: %s\n", line.c_str() + 7);
        return 1;
      }
      first = false;
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
    }
  }
  ::close(fd);
  return 0;
}
