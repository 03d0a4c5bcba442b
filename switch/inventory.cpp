#include "inventory.h"

#include <algorithm>

#include "device_text.h"

std::vector<std::string> InstalledSwitches;

namespace {

// Serial numbers of the switches attached now, by device folder name. A
// serial string the helper would refuse is not listed either.
std::vector<std::string> AttachedSerials(const std::string& devicesFolder) {
  std::vector<std::string> serials;
  for (const std::string& device : velorin::SwitchFolders(devicesFolder)) {
    const std::optional<std::string> serial = velorin::ReadAttribute(device, "serial");
    if (serial && velorin::SerialProblem(*serial) == nullptr) serials.push_back(*serial);
  }
  return serials;
}

}  // namespace

void ScanInstalledSwitches(const std::string& recordFile, const std::string& devicesFolder) {
  const std::optional<std::string> record = velorin::ReadRegularFile(recordFile);
  std::vector<std::string> serials = record ? velorin::RecordLines(*record) : std::vector<std::string>();
  const std::size_t recorded = serials.size();
  for (std::string& serial : AttachedSerials(devicesFolder)) {
    const auto end = serials.begin() + static_cast<std::ptrdiff_t>(recorded);
    if (std::find(serials.begin(), end, serial) == end) serials.push_back(std::move(serial));
  }
  InstalledSwitches = std::move(serials);
}
