#include "inventory.h"

#include "platform.h"

std::vector<std::string> InstalledSwitches;

void ScanInstalledSwitches() { InstalledSwitches = velorin::InstalledInstances(); }
