#include "installed_files.h"

#include <algorithm>

#include "device_text.h"

namespace velorin {

namespace {

// Serial numbers of the switches attached now, by device folder name. A
// serial string the helper would refuse is not listed either.
std::vector<std::string> AttachedSerials(const std::string& devicesFolder) {
  std::vector<std::string> serials;
  for (const std::string& device : SwitchFolders(devicesFolder)) {
    const std::optional<std::string> serial = ReadAttribute(device, "serial");
    if (serial && SerialProblem(*serial) == nullptr) serials.push_back(*serial);
  }
  return serials;
}

}  // namespace

std::vector<std::string> InstalledFromFiles(const std::string& recordFile, const std::string& devicesFolder) {
  const std::optional<std::string> record = ReadRegularFile(recordFile);
  std::vector<std::string> serials = record ? RecordLines(*record) : std::vector<std::string>();
  const std::size_t recorded = serials.size();
  for (std::string& serial : AttachedSerials(devicesFolder)) {
    const auto end = serials.begin() + static_cast<std::ptrdiff_t>(recorded);
    if (std::find(serials.begin(), end, serial) == end) serials.push_back(std::move(serial));
  }
  return serials;
}

}  // namespace velorin
