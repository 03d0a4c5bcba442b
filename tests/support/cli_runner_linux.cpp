// The Linux program, with the fake libusb first on the library path.
#include <cstdlib>
#include <cstring>

#include "cli_runner.h"

namespace runner {

std::vector<std::string> Command(const std::vector<std::string>& args) {
  std::vector<std::string> command = {VELORIN_PROGRAM};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

void PrepareChild() { ::setenv("LD_LIBRARY_PATH", FAKEUSB_DIR, 1); }

std::string ToolPath(const std::filesystem::path& path) { return path.string(); }

std::string WriteFailureReason(const std::string& stdoutTo) {
  if (stdoutTo == "closed") return std::strerror(EBADF);
  if (stdoutTo == "broken pipe") return std::strerror(EPIPE);
  return std::strerror(ENOSPC);
}

}  // namespace runner
