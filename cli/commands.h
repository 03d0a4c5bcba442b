// The two commands that act on one named switch.
#pragma once

#include <string>

// Turns the switch on or off and reports it; true when the switch took the request.
bool SwitchCommand(const std::string& serial, bool on);
// Reports whether the switch is on; true when its state was read.
bool QueryCommand(const std::string& serial);
