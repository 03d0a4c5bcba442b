#include "inventory.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "protocol.h"

std::vector<std::string> InstalledSwitches;

namespace {

// Plain reads: a folder or an unreadable file where a file should be is
// just missing.
std::optional<std::string> ReadFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char chunk[4096];
  ssize_t count;
  while ((count = ::read(fd, chunk, sizeof chunk)) > 0) content.append(chunk, static_cast<std::size_t>(count));
  ::close(fd);
  if (count < 0) return std::nullopt;
  return content;
}

// A sysfs attribute without its one trailing newline.
std::optional<std::string> ReadAttribute(const std::filesystem::path& path) {
  std::optional<std::string> value = ReadFile(path);
  if (value && !value->empty() && value->back() == '\n') value->pop_back();
  return value;
}

std::vector<std::string> RecordedSerials(const std::string& recordFile) {
  std::vector<std::string> serials;
  const std::optional<std::string> content = ReadFile(recordFile);
  if (!content) return serials;
  std::istringstream lines(*content);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) serials.push_back(line);
  }
  return serials;
}

// The serial string comes from the device: one with a control byte (a line
// break would pose as a second entry) is not taken, as the record helper
// does not take it either.
bool IsPlausibleSerial(const std::string& serial) {
  return !serial.empty() && std::none_of(serial.begin(), serial.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

// Serial numbers of the switches attached now, by device folder name.
std::vector<std::string> AttachedSerials(const std::string& devicesFolder) {
  std::vector<std::string> folders;
  std::error_code error;
  for (std::filesystem::directory_iterator it(devicesFolder, error), end; !error && it != end;
       it.increment(error)) {
    folders.push_back(it->path().filename().string());
  }
  std::sort(folders.begin(), folders.end());

  std::vector<std::string> serials;
  for (const std::string& folder : folders) {
    const std::filesystem::path device = std::filesystem::path(devicesFolder) / folder;
    if (ReadAttribute(device / "idVendor") != velorin::kVendorIdText ||
        ReadAttribute(device / "idProduct") != velorin::kProductIdText) {
      continue;
    }
    const std::optional<std::string> serial = ReadAttribute(device / "serial");
    if (serial && IsPlausibleSerial(*serial)) serials.push_back(*serial);
  }
  return serials;
}

}  // namespace

void ScanInstalledSwitches(const std::string& recordFile, const std::string& devicesFolder) {
  std::vector<std::string> serials = RecordedSerials(recordFile);
  const std::size_t recorded = serials.size();
  for (std::string& serial : AttachedSerials(devicesFolder)) {
    const auto end = serials.begin() + static_cast<std::ptrdiff_t>(recorded);
    if (std::find(serials.begin(), end, serial) == end) serials.push_back(std::move(serial));
  }
  InstalledSwitches = std::move(serials);
}
