// Diagnostics a user asks for with VELORIN_DEBUG=1: why a switch was not
// used, one line per device looked at and per step that failed, on standard
// error, and the reasons those lines give. Without it the tool writes nothing
// there.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace velorin {

// True when the environment holds VELORIN_DEBUG=1.
bool DiagnosticsWanted();

// Writes "velorin: ", the pieces and a line break to standard error, when
// wanted. Text that came from outside the tool goes through Showable first.
void Diagnose(std::initializer_list<std::string_view> pieces);

// The last diagnosis made in this thread, written or not: the reason a
// program that keeps its own log (the bridge) gives for a failure.
const std::string& LastDiagnosis();

// The system's text for an errno value.
std::string ErrorText(int error);

// The closing line when no switch was taken: SEEN when any switch was
// looked at (and said why it was not used).
void DiagnoseNoneTaken(bool seen, std::string_view wanted);

}  // namespace velorin
