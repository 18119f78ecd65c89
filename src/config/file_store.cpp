#include "config/file_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <rapidxml/rapidxml.hpp>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "util/parsed_xml.h"

namespace corvane {

namespace {

// Closes on every way out.
class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

[[noreturn]] void RaiseSystem(const char* what, const std::string& path, int error) {
  char buffer[1024];
  const char* text = strerror_r(error, buffer, sizeof buffer);
  throw std::runtime_error(std::string(what) + path + " - " + text);
}

[[noreturn]] void RaiseNotXml() {
  throw std::runtime_error("Failed - not xml content");
}

bool IsXmlText(const char* bytes, size_t length) {
  return length >= 5 && std::memcmp(bytes, "<?xml", 5) == 0;
}

// Prefix check, then a parse on a scratch copy (the parser works in place).
void CheckXml(const std::string& content) {
  if (!IsXmlText(content.data(), content.size())) RaiseNotXml();
  (void)std::make_unique<ParsedXml>(content);
}

// Makes a finished rename durable. Best effort: the new content is already
// in place, and some file systems cannot sync a directory.
void SyncParentDirectory(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) parent = ".";
  const Descriptor dir(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) (void)::fsync(dir.get());
}

} // namespace

std::string PendingPath(const std::string& path) {
  return path + ".pending";
}

std::string ReadWholeFile(const std::string& path) {
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) RaiseSystem("Failed to open ", path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) RaiseSystem("Failed to get size of ", path, errno);
  const size_t size = static_cast<size_t>(info.st_size);
  std::string content(size, '\0');
  const ssize_t got = ::read(fd.get(), content.data(), size);
  if (got < 0 || static_cast<size_t>(got) != size) RaiseSystem("Failed to read ", path, errno);
  return content;
}

void WriteFileAtomically(const std::string& path, const char* bytes, size_t length) {
  const std::string pending = PendingPath(path);
  {
    const Descriptor fd(
        ::open(pending.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) RaiseSystem("Failed to open ", pending, errno);
    // A short write (a size limit, a full disk) is not an error by itself;
    // the next call says why, so the message never carries a stale errno.
    // On failure the incomplete pending file stays; the next read discards it.
    size_t done = 0;
    while (done < length) {
      const ssize_t written = ::write(fd.get(), bytes + done, length - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) RaiseSystem("Failed to write ", pending, written < 0 ? errno : EIO);
      done += static_cast<size_t>(written);
    }
  }
  // The target keeps its old content unless this succeeds.
  if (::rename(pending.c_str(), path.c_str()) != 0)
    RaiseSystem("Failed to rename ", pending, errno);
  SyncParentDirectory(path);
}

void WriteXmlFile(const std::string& path, const char* bytes, size_t length) {
  if (!IsXmlText(bytes, length)) RaiseNotXml();
  WriteFileAtomically(path, bytes, length);
}

std::string ReadXmlFile(const std::string& path) {
  const std::string pending = PendingPath(path);
  try {
    std::string content = ReadWholeFile(pending);
    CheckXml(content);
    // Complete and well-formed: newer than the target by construction.
    (void)::rename(pending.c_str(), path.c_str());
    return content;
  } catch (const std::exception&) {
    // No pending file, or a broken one: fall back to the target.
  }
  std::string content = ReadWholeFile(path);
  CheckXml(content);
  (void)::unlink(pending.c_str());
  return content;
}

} // namespace corvane
