#include "sysfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "protocol.h"

namespace velorin {

std::optional<std::string> ReadBounded(int fd) {
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return content;
    if (content.size() + static_cast<std::size_t>(got) > kMaxReadBytes) return std::nullopt;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

std::optional<std::string> ReadRegularFile(const std::string& path) {
  // O_NONBLOCK: a FIFO or a device at the path must not hold the caller up;
  // it is refused once fstat shows what it is.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  std::optional<std::string> content;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) content = ReadBounded(fd);
  ::close(fd);
  return content;
}

std::optional<std::string> ReadAttribute(const std::string& deviceFolder, const char* name) {
  std::optional<std::string> value = ReadRegularFile(deviceFolder + "/" + name);
  if (value && !value->empty() && value->back() == '\n') value->pop_back();
  return value;
}

bool IsSwitchFolder(const std::string& deviceFolder) {
  return ReadAttribute(deviceFolder, "idVendor") == kVendorIdText &&
         ReadAttribute(deviceFolder, "idProduct") == kProductIdText;
}

std::vector<std::string> SwitchFolders(const std::string& devicesFolder) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(devicesFolder, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> folders;
  for (const std::string& name : names) {
    if (IsSwitchFolder(devicesFolder + "/" + name)) folders.push_back(devicesFolder + "/" + name);
  }
  return folders;
}

std::optional<TUsbNode> NodeOfFolder(const std::string& deviceFolder) {
  const std::optional<std::string> busnum = ReadAttribute(deviceFolder, "busnum");
  const std::optional<std::string> devnum = ReadAttribute(deviceFolder, "devnum");
  if (!busnum || !devnum) return std::nullopt;
  return TUsbNode{std::atoi(busnum->c_str()), std::atoi(devnum->c_str())};
}

}  // namespace velorin
