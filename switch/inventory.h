// The switches this system has installed at some time, attached or not.
#pragma once

#include <string>
#include <vector>

// Serial numbers in the system's enumeration order; duplicates kept.
extern std::vector<std::string> InstalledSwitches;

// Fills InstalledSwitches from the system's record (platform.h's
// InstalledInstances). Never fails and never prints.
void ScanInstalledSwitches();
