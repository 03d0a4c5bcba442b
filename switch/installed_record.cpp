#include "installed_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

std::size_t ControlLength(std::string_view text, std::size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  if (byte < 0x20 || byte == 0x7F) return 1;
  if (byte == 0xC2 && at + 1 < text.size()) {
    const auto next = static_cast<unsigned char>(text[at + 1]);
    if (next >= 0x80 && next <= 0x9F) return 2;
  }
  return 0;
}

std::string Showable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t length = ControlLength(text, i);
    if (length == 0) {
      shown.push_back(text[i]);
    } else {
      shown.push_back('?');
      i += length - 1;
    }
  }
  return shown;
}

std::vector<std::string> SwitchFolders(const std::string& devicesFolder) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(devicesFolder, error), end; !error && it != end;
       it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> folders;
  for (const std::string& name : names) {
    if (IsSwitchFolder(devicesFolder + "/" + name)) folders.push_back(devicesFolder + "/" + name);
  }
  return folders;
}

const char* SerialProblem(std::string_view serial) {
  if (serial.empty()) return "serial number rejected: empty";
  if (serial.size() > kMaxSerialBytes) return "serial number rejected: longer than 126 bytes";
  for (std::size_t i = 0; i < serial.size(); ++i) {
    if (ControlLength(serial, i) != 0) return "serial number rejected: holds a control byte";
  }
  return nullptr;
}

std::vector<std::string> RecordLines(std::string_view content) {
  std::vector<std::string> lines;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
  }
  return lines;
}

}  // namespace velorin
