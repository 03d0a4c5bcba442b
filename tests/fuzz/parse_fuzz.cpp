// Whole argument vectors (NUL-separated) through the command-line parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "exit_status.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments = {"velorin"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0) arguments.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  const int result = ParseCommandLine(static_cast<int>(arguments.size()), argv.data());
  const TCommandOptions& options = CommandOptions;
  // What the run sequence relies on.
  if (result < rcSuccess || result > rcInvalidValue) std::abort();
  if (options.SerialNumber.size() > 8) std::abort();
  if (result == rcNoSerialNumber && (!options.SerialNumber.empty() || options.Mode == smNone)) std::abort();
  if (result == rcSuccess && options.Mode != smNone && options.SerialNumber.empty()) std::abort();
  if (!options.SerialNumber.empty() && options.Mode == smNone) std::abort();
  if (arguments.size() == 1 && !options.ShowHelp) std::abort();
  return 0;
}
