// The record of installed switches: where it lives and how its lines are
// read. The record helper appends to it each time a switch is plugged in; the
// tool lists it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velorin {

// One serial number per line.
inline constexpr const char* kRecordFolder = "/var/lib/velorin";
inline constexpr const char* kRecordName = "installed";

// kRecordFolder/kRecordName.
std::string RecordPath();

// The serial numbers a record's content holds, in order: its lines without
// one trailing carriage return each (an edit on another system), empty ones
// skipped.
std::vector<std::string> RecordLines(std::string_view content);

}  // namespace velorin
