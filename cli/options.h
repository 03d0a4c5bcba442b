// The parsed command line.
#pragma once

#include <cstdint>
#include <string>

enum TSwitchMode : std::int32_t {
  smNone = -1,
  smOff = 0,
  smOn = 1,
  smQuery = 2,
};

struct TCommandOptions {
  bool ShowHelp = false;
  bool ListInstalled = false;
  bool ListAvailable = false;
  TSwitchMode Mode = smNone;
  std::string SerialNumber;
};

// The one options record of the process, filled by ParseCommandLine.
extern TCommandOptions CommandOptions;

// Resets CommandOptions, fills it from the arguments (argv[0] is the program)
// and returns the result code: success, no serial number, or invalid value.
int ParseCommandLine(int argc, const char* const* argv);
