#include "core/process_identity.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "log/core_log.h"

namespace corvane {

namespace {

// Effective and permitted sets; the I/O thread and plug-in threads started
// during start-up keep the first, the main thread narrows to the second.
constexpr uint32_t kFirstCapabilities = 0x23000; // NET_ADMIN, NET_RAW, SYS_RAWIO
constexpr uint32_t kSecondCapabilities = 0x3000; // NET_ADMIN, NET_RAW

constexpr unsigned long kSecbitNoSetuidFixup = 4;
constexpr uint32_t kCapabilityVersion3 = 0x20080522;
constexpr int kMaxGroups = 256;

// The kernel's capability records (64-bit format: two data words).
struct CapabilityHeader {
  uint32_t version;
  int pid;
};
struct CapabilityData {
  uint32_t effective;
  uint32_t permitted;
  uint32_t inheritable;
};

std::string ErrorText(int error) {
  return std::generic_category().message(error);
}

// Acts on the calling thread only.
bool ApplyCapabilities(uint32_t set) {
  CapabilityHeader header{kCapabilityVersion3, 0};
  CapabilityData data[2] = {{set, set, 0}, {0, 0, 0}};
  return ::syscall(SYS_capset, &header, data) == 0;
}

// The parent's real user id; 0 when its status cannot be read.
uid_t ParentRealUid() {
  // Plain stdio: a stream here would set up the locale machinery on the
  // start-up path for one line.
  const std::string path = "/proc/" + std::to_string(::getppid()) + "/status";
  const std::unique_ptr<FILE, int (*)(FILE*)> status(std::fopen(path.c_str(), "re"), &std::fclose);
  if (status == nullptr) return 0;
  char line[256];
  while (std::fgets(line, sizeof line, status.get()) != nullptr) {
    unsigned int uid = 0;
    if (std::sscanf(line, "Uid: %u", &uid) == 1) return uid;
  }
  return 0;
}

bool SwitchUser(uid_t target) {
  // getpwuid's static record is safe here: no other thread exists yet.
  errno = 0;
  const passwd* account = ::getpwuid(target);
  if (account == nullptr) {
    LogCritical("getpwuid failed: {}", ErrorText(errno));
    return false;
  }
  const std::string name = account->pw_name;
  const uid_t uid = account->pw_uid;
  const gid_t gid = account->pw_gid;

  // The secure bits keep the capabilities across setuid, so setgid and
  // setgroups still succeed after it.
  if (::setuid(uid) != 0 || ::setgid(gid) != 0) {
    LogCritical("setuid/gid failed: {}", ErrorText(errno));
    return false;
  }
  std::vector<gid_t> groups(kMaxGroups);
  int count = kMaxGroups;
  if (::getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) {
    LogCritical("getgrouplist failed");
    return false;
  }
  if (::setgroups(static_cast<size_t>(count), groups.data()) != 0) {
    LogCritical("setgroups failed: {}", ErrorText(errno));
    return false;
  }
  return true;
}

} // namespace

bool EstablishIdentity() {
  ::umask(077);
  // Without CAP_SETPCAP this fails, and then there is nothing to keep anyway.
  (void)::prctl(PR_SET_SECUREBITS, kSecbitNoSetuidFixup, 0, 0, 0);
  const uid_t target = ParentRealUid();
  if (::getuid() != target && !SwitchUser(target)) return false;
  if (target != 0 && !ApplyCapabilities(kFirstCapabilities)) {
    LogWarning("capset failed: {}", ErrorText(errno));
  }
  return true;
}

void NarrowCapabilities() {
  if (::getuid() == 0) return;
  if (!ApplyCapabilities(kSecondCapabilities)) LogWarning("capset failed: {}", ErrorText(errno));
}

} // namespace corvane
