#include "rotating_log_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ruzuz {

RotatingLogFile::RotatingLogFile(uint64_t maxBytes, unsigned fileCount)
    : maxBytes_(maxBytes), fileCount_(fileCount == 0 ? 1 : fileCount) {}

RotatingLogFile::~RotatingLogFile() {
  Close();
}

bool RotatingLogFile::Open(const std::string& directory, const std::string& fileName) {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) return true;
  if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) return false;
  path_ = directory + "/" + fileName;
  return OpenLocked();
}

bool RotatingLogFile::OpenLocked() {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  struct stat st {};
  size_ = ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  return true;
}

std::string RotatingLogFile::PathOf(unsigned generation) const {
  return generation == 0 ? path_ : path_ + "." + std::to_string(generation);
}

void RotatingLogFile::RotateLocked() {
  ::close(fd_);
  fd_ = -1;
  if (fileCount_ == 1) {
    ::unlink(path_.c_str());
  } else {
    // rename replaces the target, so the oldest generation simply disappears.
    for (unsigned g = fileCount_ - 1; g > 0; --g) {
      (void)::rename(PathOf(g - 1).c_str(), PathOf(g).c_str());
    }
  }
  OpenLocked();
}

void RotatingLogFile::Append(std::string_view lines) {
  std::lock_guard lock(mutex_);
  if (path_.empty()) return;
  // A file that could not be opened is tried again with each record.
  if (fd_ < 0 && !OpenLocked()) return;
  if (size_ > 0 && size_ + lines.size() > maxBytes_) {
    RotateLocked();
    if (fd_ < 0) return;
  }
  const char* p = lines.data();
  size_t left = lines.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break; // disk full or similar: the rest of the record is lost
    p += n;
    left -= static_cast<size_t>(n);
    size_ += static_cast<uint64_t>(n);
  }
}

void RotatingLogFile::Close() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) {
    // The file goes to disk with the core's orderly stop, not at some later writeback.
    (void)::fdatasync(fd_);
    ::close(fd_);
  }
  fd_ = -1;
  path_.clear();
  size_ = 0;
}

} // namespace ruzuz
