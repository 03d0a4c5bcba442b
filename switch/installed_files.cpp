#include "installed_files.h"

#include <algorithm>

#include "device_text.h"

namespace velorin {

std::vector<TAttachedSwitch> AttachedSwitches(const std::string& devicesFolder) {
  std::vector<TAttachedSwitch> attached;
  for (const std::string& folder : SwitchFolders(devicesFolder)) {
    std::optional<std::string> serial = ReadAttribute(folder, "serial");
    if (serial && SerialProblem(*serial) == nullptr) attached.push_back({std::move(*serial), NodeOfFolder(folder)});
  }
  return attached;
}

std::optional<TUsbNode> AttachedAt(const std::vector<TAttachedSwitch>& attached, const std::string& serial) {
  const auto found = std::find_if(attached.begin(), attached.end(),
                                  [&serial](const TAttachedSwitch& one) { return one.Serial == serial && one.Node; });
  return found == attached.end() ? std::nullopt : found->Node;
}

std::vector<std::string> InstalledSerials(const std::vector<TAttachedSwitch>& attached, const std::string& recordFile) {
  const std::optional<std::string> record = ReadRegularFile(recordFile);
  std::vector<std::string> serials = record ? RecordLines(*record) : std::vector<std::string>();
  const std::size_t recorded = serials.size();
  for (const TAttachedSwitch& one : attached) {
    const auto end = serials.begin() + static_cast<std::ptrdiff_t>(recorded);
    if (std::find(serials.begin(), end, one.Serial) == end) serials.push_back(one.Serial);
  }
  return serials;
}

}  // namespace velorin
