#include "util/guid.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace corvane {

namespace {

constexpr char kRandomDevice[] = "/dev/urandom";
constexpr int kExitIoError = 74; // EX_IOERR
constexpr ssize_t kGuidBytes = 16;

} // namespace

int CoCreateGuid(uint8_t guid[16]) {
  // Close-on-exec: another thread may be starting a child (the identifier
  // script) while this descriptor is open.
  int fd = -1;
  do {
    errno = 0;
    fd = ::open(kRandomDevice, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) err(kExitIoError, "CoCreateGuid(): open: %s", kRandomDevice);

  ssize_t got = 0;
  while (got < kGuidBytes) {
    errno = 0;
    const ssize_t n = ::read(fd, guid + got, static_cast<size_t>(kGuidBytes - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      err(kExitIoError, "CoCreateGuid(): read: %s", kRandomDevice);
    }
    if (n == 0) {
      errx(kExitIoError, "CoCreateGuid(): read: %s: EOF, got %zd of %zd bytes requested",
           kRandomDevice, got, kGuidBytes);
    }
    got += n;
  }

  errno = 0;
  if (::close(fd) != 0) warn("CoCreateGuid(): close: %s", kRandomDevice);
  return 0;
}

void NewRandomBlock(uint8_t block[16]) {
  uint8_t guid[16];
  CoCreateGuid(guid);
  std::memcpy(block, guid, 8);
  std::memcpy(block + 8, guid + 6, 4);
  std::memcpy(block + 12, guid + 6, 4);
}

} // namespace corvane
