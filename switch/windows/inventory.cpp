// The installed switches on Windows: its own record of every USB device
// instance ever installed, the registry's enumeration tree, which keeps a
// switch's entry after it is unplugged. The instance names are the serial
// numbers; RegEnumKeyExA returns them sorted without regard to case.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform.h"
#include "protocol.h"

namespace velorin {

namespace {

// SYSTEM\CurrentControlSet\Enum\USB\Vid_16c0&Pid_2823
std::string InstanceGroupKey() {
  char group[32];
  std::snprintf(group, sizeof group, "Vid_%04x&Pid_%04x", kVendorId, kProductId);
  return std::string("SYSTEM\\CurrentControlSet\\Enum\\USB\\") + group;
}

// The key, opened for reading only (never created), closed with the object.
class TRegistryKey {
 public:
  explicit TRegistryKey(const std::string& path) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &Key) != ERROR_SUCCESS) Key = nullptr;
  }
  ~TRegistryKey() {
    if (Key != nullptr) RegCloseKey(Key);
  }
  TRegistryKey(const TRegistryKey&) = delete;
  TRegistryKey& operator=(const TRegistryKey&) = delete;

  // The number of subkeys and the length of the longest name, or false.
  bool Query(DWORD& subkeys, DWORD& longest) const {
    return Key != nullptr && RegQueryInfoKeyA(Key, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }
  HKEY Key = nullptr;
};

}  // namespace

std::vector<std::string> InstalledInstances() {
  std::vector<std::string> serials;
  const TRegistryKey group(InstanceGroupKey());
  DWORD subkeys = 0, longest = 0;
  if (!group.Query(subkeys, longest) || subkeys == 0) return serials;
  // Asked again, as the count and length may have changed since.
  if (!group.Query(subkeys, longest)) return serials;
  std::vector<char> name(longest + 1);
  for (DWORD index = 0; index < subkeys; ++index) {
    name.assign(name.size(), '\0');
    DWORD length = static_cast<DWORD>(name.size());
    // A subkey removed or renamed longer since the query is left out, not
    // listed as an empty or cut name.
    if (RegEnumKeyExA(group.Key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      continue;
    }
    serials.emplace_back(name.data(), strnlen(name.data(), name.size()));
  }
  return serials;
}

}  // namespace velorin
