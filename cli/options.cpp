#include "options.h"

#include <string_view>

#include "exit_status.h"

TCommandOptions CommandOptions;

namespace {

// Upper-cases ASCII letters only; no keyword holds any other letter.
std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// "/H", "/?", "/L", "/A"; any other two characters are ignored.
void ParseFlag(std::string_view argument) {
  const std::string flag = UpperCase(argument);
  if (flag == "/H" || flag == "/?") {
    CommandOptions.ShowHelp = true;
  } else if (flag == "/L") {
    CommandOptions.ListInstalled = true;
  } else if (flag == "/A") {
    CommandOptions.ListAvailable = true;
  }
}

// "/N=value" or "/S=value": the third character is a separator of any kind,
// and at most 8 characters of the value count.
void ParseSetting(std::string_view argument, int& result) {
  const std::string key = UpperCase(argument.substr(0, 2));
  const std::string_view value = argument.substr(3, 8);
  if (key == "/N") {
    CommandOptions.SerialNumber = std::string(value);
  } else if (key == "/S") {
    const std::string mode = UpperCase(value);
    if (mode == "OFF") {
      CommandOptions.Mode = smOff;
    } else if (mode == "ON") {
      CommandOptions.Mode = smOn;
    } else if (mode == "QUERY") {
      CommandOptions.Mode = smQuery;
    } else {
      CommandOptions.Mode = smNone;
      result = rcInvalidValue;
    }
  }
}

}  // namespace

int ParseCommandLine(int argc, const char* const* argv) {
  CommandOptions = TCommandOptions{};
  int result = rcSuccess;

  if (argc <= 1) CommandOptions.ShowHelp = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (argument.size() == 2) {
      ParseFlag(argument);
    } else if (argument.size() > 3) {
      ParseSetting(argument, result);
    }
  }

  // A serial number alone asks for the switch's state.
  if (!CommandOptions.SerialNumber.empty() && CommandOptions.Mode == smNone) CommandOptions.Mode = smQuery;
  if (CommandOptions.SerialNumber.empty() && CommandOptions.Mode != smNone) result = rcNoSerialNumber;
  return result;
}
