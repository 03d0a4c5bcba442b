// Every fixed text the tool prints. Scripts read these byte for byte.
#pragma once

#include <string_view>

#include "version.h"

namespace text {

inline constexpr std::string_view kTitle = "Velorin Command Line Tool";
inline constexpr std::string_view kVersionLabel = "Version ";
inline constexpr std::string_view kVersion = version::kShown;
inline constexpr std::string_view kMakerNotice =
    "Copyright (c) 2026 the velorin developers; free software under the MIT License";

inline constexpr std::string_view kHelpParameters[] = {
    "Valid command line parameters:\n",
    "/H /?\t\tview this help\n",
    "/L\t\tlist installed switches\n",
    "/A\t\tlist available switches\n",
    "/N=...\t\tdefine serial number (8 characters) of used switch\n",
    "/S=on\t\tturn switch on (parameter /N required)\n",
    "/S=off\t\tturn switch off (parameter /N required)\n",
    "/S=query\tquery switch state (parameter /N required)\n",
    "Unknown parameters will be ignored!\n",
};

inline constexpr std::string_view kErrorNoSerialNumber = "Error: No serial number of switch defined!\n";
inline constexpr std::string_view kErrorInvalidValue = "Error: Invalid value for parameter!\n";
inline constexpr std::string_view kErrorSwitchFailed = "Error: Switch not installed or not available!\n";

inline constexpr std::string_view kSwitchWithSerial = "Switch with serial number ";
inline constexpr std::string_view kTurnedOn = " turned on\n";
inline constexpr std::string_view kTurnedOff = " turned off\n";
inline constexpr std::string_view kIsTurnedOn = " is turned on\n";
inline constexpr std::string_view kIsTurnedOff = " is turned off\n";
inline constexpr std::string_view kChangingFailedBefore = "Changing switch with serial number ";
inline constexpr std::string_view kChangingFailedAfter = " failed!";

inline constexpr std::string_view kInstalledHeader = "Installed switches:\n";
inline constexpr std::string_view kAvailableHeader = "Available switches:\n";
inline constexpr std::string_view kNone = "none\n";
inline constexpr std::string_view kEntryOpen = "[";
inline constexpr std::string_view kEntryClose = "]: ";

inline constexpr std::string_view kNewLine = "\n";

// On stderr, before the reason, when the output could not be written.
inline constexpr std::string_view kCannotWriteOutput = "velorin: cannot write output: ";

}  // namespace text
