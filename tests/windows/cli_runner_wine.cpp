// velorin.exe under Wine, over the fake libusb0.dll, in a Wine prefix of
// this test process's own (a copy of the prepared one, with its own server).
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "cli_runner.h"
#include "wine_registry.h"

namespace runner {

namespace {

namespace fs = std::filesystem;

class TPrefix {
 public:
  TPrefix() {
    char pattern[] = "/tmp/velorin-wine-XXXXXX";
    Dir = ::mkdtemp(pattern);
    Script("start " + Quoted(WINE_TEMPLATE) + " " + Quoted(Dir));
  }
  ~TPrefix() { Script("stop " + Quoted(Dir)); }
  TPrefix(const TPrefix&) = delete;
  TPrefix& operator=(const TPrefix&) = delete;

  // Runs a Windows program in the prefix, its output discarded.
  void Wine(const std::string& arguments) const {
    Run("WINEPREFIX=" + Quoted(Dir) + " WINEDEBUG=-all " + Quoted(WINE64) + " " + arguments + " >/dev/null 2>&1");
  }

  std::string Dir;

 private:
  static std::string Quoted(const std::string& word) { return "'" + word + "'"; }
  static void Script(const std::string& arguments) { Run(Quoted(WINE_PREFIX_SCRIPT) + " " + arguments); }
  static void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) std::abort();
  }
};

const TPrefix& Prefix() {
  static const TPrefix prefix;
  return prefix;
}

}  // namespace

std::vector<std::string> Command(const std::vector<std::string>& args) {
  Prefix();  // made before the fork, so that the child finds it ready
  std::vector<std::string> command = {WINE64, VELORIN_EXE};
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

void PrepareChild() {
  ::setenv("WINEPREFIX", Prefix().Dir.c_str(), 1);
  ::setenv("WINEDEBUG", "-all", 1);
  ::setenv("WINEPATH", ToolPath(FAKEUSB_DLL_DIR).c_str(), 1);
  ::unsetenv("DISPLAY");
}

std::string ToolPath(const std::filesystem::path& path) {
  std::string windows = "Z:" + path.string();
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

// msvcrt's errno texts; a pipe whose reader has gone is EINVAL there.
std::string WriteFailureReason(const std::string& stdoutTo) {
  if (stdoutTo == "closed") return "Bad file descriptor";
  if (stdoutTo == "broken pipe") return "Invalid argument";
  return "No space left on device";
}

void SetInstalledSwitches(const std::optional<std::vector<std::string>>& names) {
  const std::string group = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_16c0&Pid_2823";
  std::string file = "REGEDIT4\n\n[-" + group + "]\n\n";
  if (names) {
    file += "[" + group + "]\n\n";
    for (const std::string& name : *names) file += "[" + group + "\\" + name + "]\n\n";
  }
  const fs::path path = fs::path(Prefix().Dir) / "switches.reg";
  std::ofstream(path, std::ios::binary) << file;
  Prefix().Wine("regedit /S '" + ToolPath(path) + "'");
}

}  // namespace runner
