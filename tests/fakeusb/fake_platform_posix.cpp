#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fake_platform.h"

namespace fakeusb {

const int kBusy = -EBUSY;
const int kTimedOut = -ETIMEDOUT;

std::intptr_t TakeClaim(const std::string& path, bool& busy) {
  busy = false;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return kNoClaim;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    busy = true;
    return kNoClaim;
  }
  return fd;
}

void DropClaim(std::intptr_t claim) {
  if (claim != kNoClaim) ::close(static_cast<int>(claim));
}

// Numbered as the kernel's nodes are: 001, 002, ...
std::string BusName(int bus) {
  char name[16];
  std::snprintf(name, sizeof name, "%03d", bus);
  return name;
}

std::string DeviceName(int device, int, int, int) { return BusName(device); }

void DenyOpen() { errno = EACCES; }

std::string FailureText(const std::string& call, int result) { return call + ": " + std::strerror(-result); }

}  // namespace fakeusb
