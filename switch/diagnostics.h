// Diagnostics a user asks for with VELORIN_DEBUG=1: why a switch was not
// used, one line per device looked at and per step that failed, on standard
// error, and the reasons those lines give. Without it the tool writes nothing
// there.
#pragma once

#include <initializer_list>
#include <set>
#include <string>
#include <string_view>

#include "usb_node.h"

namespace velorin {

// True when the environment holds VELORIN_DEBUG=1.
bool DiagnosticsWanted();

// Writes "velorin: ", the pieces and a line break to standard error, when
// wanted. Text that came from outside the tool goes through Showable first.
void Diagnose(std::initializer_list<std::string_view> pieces);

// The system's text for an errno value.
std::string ErrorText(int error);

// The closing lines when no switch was taken: LISTED holds the switches the
// USB library listed. It lists only the devices it could open, so when it
// listed none, the switches the system shows attached are looked at, for the
// reason.
void DiagnoseNoSwitchTaken(const std::set<TUsbNode>& listed, std::string_view wanted);

}  // namespace velorin
