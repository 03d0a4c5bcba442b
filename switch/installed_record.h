// The rules the tool and the record helper share: where the record of
// installed switches lives, how it and the kernel's device attributes are
// read, and which serial numbers may be recorded or listed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velorin {

// Appended to by the helper each time a switch is plugged in; one serial
// number per line.
inline constexpr const char* kRecordFolder = "/var/lib/velorin";
inline constexpr const char* kRecordName = "installed";
inline constexpr const char* kUsbDevicesFolder = "/sys/bus/usb/devices";

// No file is read past this many bytes: far above any real record (a
// million serial numbers) or device attribute (one page).
inline constexpr std::size_t kMaxReadBytes = std::size_t{16} << 20;

// A USB string descriptor holds at most 126 characters.
inline constexpr std::size_t kMaxSerialBytes = 126;

// Reads up to kMaxReadBytes from an open descriptor; nullopt on a read error
// or when the content goes on past the bound.
std::optional<std::string> ReadBounded(int fd);

// The content of a regular file (a symlink to one is followed). Anything
// else (missing, a folder, a FIFO, a device, unreadable, larger than
// kMaxReadBytes) is nullopt; opening never blocks.
std::optional<std::string> ReadRegularFile(const std::string& path);

// A device attribute from sysfs (DEVICE_FOLDER/NAME) without the one newline
// the kernel ends it with.
std::optional<std::string> ReadAttribute(const std::string& deviceFolder, const char* name);

// True when the sysfs device folder is a switch (16c0:2823).
bool IsSwitchFolder(const std::string& deviceFolder);

// The folders (DEVICES_FOLDER/NAME) of the switches attached now, in the
// order of their names; none when the folder cannot be read.
std::vector<std::string> SwitchFolders(const std::string& devicesFolder);

// The length of the control character that starts at text[at]: 1 for a byte
// below 0x20 or 0x7f, 2 for a C1 control encoded in UTF-8 (C2 80 to C2 9F),
// 0 for anything else. Text from a device holding one must not reach a
// terminal or a line-based file as it is.
std::size_t ControlLength(std::string_view text, std::size_t at);

// The text with each control character (ControlLength) replaced by one '?':
// how text from a device or a file is shown, never sent, to a terminal.
std::string Showable(std::string_view text);

// Why a serial number may not be recorded or listed, or nullptr when it may.
// It comes from the device: 1 to kMaxSerialBytes bytes and no control
// character (ControlLength), so it can neither break a record line nor act on
// a terminal.
const char* SerialProblem(std::string_view serial);

// The serial numbers a record's content holds, in order: its lines without
// one trailing carriage return each (an edit on another system), empty ones
// skipped.
std::vector<std::string> RecordLines(std::string_view content);

}  // namespace velorin
