// The registry of the Wine prefix that the command-line tests run
// velorin.exe in.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace runner {

// Makes the switches' instance group hold these subkeys, created in this
// order; with none (nullopt) the group's key itself is missing.
void SetInstalledSwitches(const std::optional<std::vector<std::string>>& names);

}  // namespace runner
