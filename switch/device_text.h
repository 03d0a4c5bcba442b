// The rule for text that comes from outside the tool (a device, the record,
// the command line): which serial numbers may be recorded or listed, and how
// such text is shown on a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velorin {

// A USB string descriptor holds at most 126 characters.
inline constexpr std::size_t kMaxSerialBytes = 126;

// The text with each control character replaced by one '?': each byte below
// 0x20, 0x7f, and each C1 control encoded in UTF-8 (C2 80 to C2 9F). How text
// from a device or a file is shown, never sent, to a terminal; other bytes
// stay as they are, whatever their encoding.
std::string Showable(std::string_view text);

// Why a serial number may not be recorded or listed, or nullptr when it may.
// It comes from the device: 1 to kMaxSerialBytes bytes and no control
// character (as Showable counts them), so it can neither break a record line
// nor act on a terminal.
const char* SerialProblem(std::string_view serial);

}  // namespace velorin
