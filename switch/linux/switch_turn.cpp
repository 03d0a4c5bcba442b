#include "switch_turn.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "diagnostics.h"
#include "protocol.h"
#include "sysfs.h"

namespace velorin {

namespace {

using Clock = std::chrono::steady_clock;

// The kernel's sysfs folder of the device behind a character device number.
std::string CharDeviceFolder(dev_t device) {
  return "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The node's access list as the kernel stores it; empty when it has none.
std::string AccessList(int fd) {
  char buffer[4096];
  const ssize_t length = ::fgetxattr(fd, "system.posix_acl_access", buffer, sizeof buffer);
  // Too long to read: take it as one that may grant anything.
  if (length < 0 && errno == ERANGE) return std::string(1, '\0');
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

// Only a node that those who cannot use the switch cannot open can hold
// anyone in line for long: flock needs no write access, using the switch does.
bool OnlyUsersCanLockNode(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && OnlyUsersCanLock(status.st_mode, AccessList(fd));
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

bool OnlyUsersCanLock(unsigned mode, std::string_view acl) {
  const auto readOnly = [](unsigned perm) { return (perm & 4) != 0 && (perm & 2) == 0; };
  if (readOnly(mode & 07)) return false;  // others
  if (acl.empty()) return !readOnly((mode >> 3) & 07);
  // A header (version 2), then entries of tag (16 bits), permissions (16
  // bits) and id (32 bits), little-endian; what is not understood is refused.
  constexpr std::size_t kHeader = 4, kEntry = 8;
  constexpr unsigned kUserObj = 0x01, kMask = 0x10, kOther = 0x20;
  if (acl.size() < kHeader || (acl.size() - kHeader) % kEntry != 0 || static_cast<unsigned char>(acl[0]) != 2 ||
      acl[1] != 0 || acl[2] != 0 || acl[3] != 0) {
    return false;
  }
  const auto word = [&acl](std::size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(acl[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(acl[at + 1])) << 8;
  };
  unsigned mask = 07;
  for (std::size_t at = kHeader; at < acl.size(); at += kEntry) {
    if (word(at) == kMask) mask = word(at + 2);
  }
  for (std::size_t at = kHeader; at < acl.size(); at += kEntry) {
    const unsigned tag = word(at), perm = word(at + 2);
    if (tag == kUserObj || tag == kMask) continue;
    if (readOnly(tag == kOther ? perm : perm & mask)) return false;
  }
  return true;
}

std::string TurnNodePath(const TUsbNode& node) {
  const char* folder = std::getenv("USB_DEVFS_PATH");
  return NodePath(node, folder != nullptr && *folder != '\0' ? folder : kUsbNodeFolder);
}

namespace {

// The line's lock file: only a switch's node (or, under a folder the user
// set, a plain file) is opened, nothing else is touched, and opening never
// blocks. -1 when there is no line to wait in.
int OpenLine(const std::string& path) {
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0) return -1;
  if (S_ISCHR(before.st_mode) ? !IsSwitchFolder(CharDeviceFolder(before.st_rdev)) : !S_ISREG(before.st_mode)) {
    return -1;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TTurnTry TSwitchTurn::Try(const std::string& path) {
  Release();
  const int fd = OpenLine(path);
  if (fd < 0) return TTurnTry::NoLine;
  int error = 0;
  do {
    error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
  } while (error == EINTR);
  if (error == 0) {
    Lock = fd;
    return TTurnTry::Taken;
  }
  const bool guarded = OnlyUsersCanLockNode(fd);
  ::close(fd);
  if (error != EWOULDBLOCK) return TTurnTry::NoLine;
  return guarded ? TTurnTry::Held : TTurnTry::Locked;
}

TTurnOutcome TSwitchTurn::Take(const std::string& path, const std::string& where, int waitMs) {
  Release();
  const int fd = OpenLine(path);
  if (fd < 0) return TTurnOutcome::NoLine;

  const bool guarded = OnlyUsersCanLockNode(fd);
  const int bound = guarded ? waitMs : std::min(waitMs, kBusyRetryMs);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::milliseconds(bound);
  bool waited = false;
  int error = 0;
  for (;;) {
    error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (error == 0) {
      Lock = fd;
      if (waited) Diagnose({where, ": waited ", std::to_string(MsSince(start)), " ms in line for its turn"});
      return TTurnOutcome::Taken;
    }
    if (error == EINTR) continue;
    const Clock::time_point now = Clock::now();
    if (error != EWOULDBLOCK || now >= deadline) break;
    waited = true;
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(kTurnPollMs), deadline - now));
  }
  ::close(fd);
  if (error != EWOULDBLOCK) return TTurnOutcome::NoLine;
  if (!guarded) {
    Diagnose({where, ": waited ", std::to_string(MsSince(start)),
              " ms in line; going ahead, as users who cannot use the switch can lock its node"});
    return TTurnOutcome::NoLine;
  }
  Diagnose({where, ": not its turn within ", std::to_string(waitMs / 1000), " s (other velorin commands hold it)"});
  return TTurnOutcome::TooLong;
}

void TSwitchTurn::Release() {
  if (Lock != kNoLock) ::close(static_cast<int>(Lock));
  Lock = kNoLock;
}

}  // namespace velorin
