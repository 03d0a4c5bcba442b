// All output goes to standard output, one piece at a time, unformatted.
#pragma once

#include <string_view>

// Writes the piece's bytes as they are: a serial number or a device name is
// data, never a format.
void Print(std::string_view piece);
