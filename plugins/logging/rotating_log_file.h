#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace ruzuz {

// A log file that is moved aside when the next record would take it past
// maxBytes: name -> name.1 -> ... -> name.(fileCount-1); the oldest is dropped.
//
// Any thread may call Append (the dispatch thread, and every logging thread
// while the core stops). mutex_ guards every member below it and is held only
// for the write and rename calls of one record, so a caller waits at most for
// one other record's write.
class RotatingLogFile {
public:
  RotatingLogFile(uint64_t maxBytes, unsigned fileCount);
  ~RotatingLogFile();
  RotatingLogFile(const RotatingLogFile&) = delete;
  RotatingLogFile& operator=(const RotatingLogFile&) = delete;

  // Creates `directory` when missing and appends to directory/fileName.
  bool Open(const std::string& directory, const std::string& fileName);
  // Writes complete lines; dropped while the file is not open.
  void Append(std::string_view lines);
  void Close();

private:
  bool OpenLocked();
  void RotateLocked();
  std::string PathOf(unsigned generation) const;

  const uint64_t maxBytes_;
  const unsigned fileCount_;
  std::mutex mutex_;
  std::string path_; // empty while closed
  int fd_ = -1;
  uint64_t size_ = 0;
};

} // namespace ruzuz
