// Diagnostics a user asks for with VELORIN_DEBUG=1: why a switch was not
// used, one line per device looked at and per step that failed, on standard
// error. Without it the tool writes nothing there.
#pragma once

#include <initializer_list>
#include <string_view>

namespace velorin {

// True when the environment holds VELORIN_DEBUG=1.
bool DiagnosticsWanted();

// Writes "velorin: ", the pieces and a line break to standard error, when
// wanted. Text that came from outside the tool goes through Showable first.
void Diagnose(std::initializer_list<std::string_view> pieces);

}  // namespace velorin
