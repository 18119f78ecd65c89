#pragma once
// Whole-file reads and crash-safe writes of the core's documents. A write
// goes to "<path>.pending" and replaces the target by rename only when
// complete; a read adopts a complete pending file or discards a broken one.
// Failures raise std::runtime_error (or the XML parser's error) whose message
// is the text to log; nothing is logged here. Stateless, no locking.
#include <cstddef>
#include <string>

namespace corvane {

std::string PendingPath(const std::string& path);

std::string ReadWholeFile(const std::string& path);
void WriteFileAtomically(const std::string& path, const char* bytes, size_t length);

// Refuses anything that does not begin with "<?xml".
void WriteXmlFile(const std::string& path, const char* bytes, size_t length);
// Content that begins with "<?xml" and parses; the caller parses it again.
std::string ReadXmlFile(const std::string& path);

} // namespace corvane
