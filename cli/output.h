// All output goes to standard output, one piece at a time, unformatted. Every
// write is checked: a run whose output was lost must not look like success.
#pragma once

#include <string_view>

// Writes the piece's bytes as they are: a serial number or a device name is
// data, never a format.
void Print(std::string_view piece);

// Writes text that came from outside the tool (a switch's name, a serial
// number from the record or the command line) so that it cannot act on a
// terminal or forge a line: each control byte (below 0x20, 0x7f, and a
// C1 control in UTF-8, C2 80 to C2 9F) becomes one '?'. Other bytes stay.
void PrintOutsideText(std::string_view text);

// Flushes and closes standard output. False when any write so far or the
// flush failed; then one line saying why has gone to standard error.
bool FinishOutput();
