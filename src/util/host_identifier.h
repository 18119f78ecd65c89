#pragma once
#include <string>
#include <sys/types.h>

namespace corvane {

// The identifier when no script names the machine: SHA-256 of the empty
// input in lower-case hex.
inline constexpr const char* kFallbackHostId =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// The text that names this machine: the output of "sudo -n ./scripts/get_id.sh",
// else of "./scripts/get_id.sh" (both run in the working directory), else the
// fallback digest. Never empty; not trimmed.
//
// The script runs while start-up goes on: construction starts it with the
// process's credentials at that moment, Result() waits for its output. Its
// child must not be reaped by anyone else meanwhile.
class HostIdentifierQuery {
public:
  HostIdentifierQuery();
  ~HostIdentifierQuery();
  HostIdentifierQuery(const HostIdentifierQuery&) = delete;
  HostIdentifierQuery& operator=(const HostIdentifierQuery&) = delete;

  std::string Result();

private:
  pid_t pid_ = -1;
  int output_ = -1; // the script's standard output
  std::string sudoOutput_;
};

std::string ObtainHostIdentifier();

} // namespace corvane
