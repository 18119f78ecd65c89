#include "core_launcher.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Closes [first, last]; falls back to a loop where close_range is missing.
void CloseRange(unsigned first, unsigned last) {
  if (first > last) return;
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
  const long limit = ::sysconf(_SC_OPEN_MAX);
  const unsigned end = limit > 0 && static_cast<unsigned long>(limit) - 1 < last
                           ? static_cast<unsigned>(limit - 1)
                           : last;
  for (unsigned fd = first; fd <= end; ++fd) ::close(static_cast<int>(fd));
}

} // namespace

pid_t LaunchCore(const std::string& corePath, const std::string& workDir, int descriptor) {
  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are made.
  std::string argument = std::to_string(descriptor);
  std::string path = corePath;
  char* argv[] = {path.data(), argument.data(), nullptr};
  sigset_t none;
  sigemptyset(&none);

  const pid_t pid = ::fork();
  if (pid != 0) return pid;

  // Child. Its own process group: a terminal's Ctrl-C reaches corvaned, which
  // stops the core over the socket rather than by signal.
  ::setpgid(0, 0);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  const unsigned fd = static_cast<unsigned>(descriptor);
  CloseRange(3, fd - 1);
  CloseRange(fd + 1, ~0U);
  ::fcntl(descriptor, F_SETFD, 0);
  if (::chdir(workDir.c_str()) != 0) {
    const char text[] = "corvaned: cannot enter the working directory\n";
    (void)!::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(127);
  }
  ::execv(argv[0], argv);
  const char text[] = "corvaned: cannot execute the core\n";
  (void)!::write(STDERR_FILENO, text, sizeof text - 1);
  ::_exit(127);
}
