// The built program, run as a script would run it: a sandbox folder with the
// fake bus's scenario and call log, standard output and error in files, the
// exit status. The runner (cli_runner.h) says how the program is started.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace cli {

namespace fs = std::filesystem;

extern const std::string kHelp;
extern const std::string kNoSerial;
extern const std::string kInvalid;
extern const std::string kFailed;

std::string ReadAll(const fs::path& path);

struct Result {
  std::string out, err;
  int status = -1;
  std::vector<std::string> calls;
};

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const fs::path& dir() const { return dir_; }

  void Write(const fs::path& relative, const std::string& content);

  // Runs the program over the fake bus; with fixture (Linux), the inventory
  // reads this sandbox's record/ and devices/ instead of the system's.
  // Standard output goes to a file, or to: "closed", "broken pipe" (a pipe
  // whose reader has gone, SIGPIPE ignored) or a device path such as
  // /dev/full.
  Result Run(const std::vector<std::string>& args, const std::string& scenario, bool fixture = false,
             const std::string& stdoutTo = "");

  // Run in two halves, for programs that run at the same time: Start
  // returns the program's process, Finish waits for it.
  pid_t Start(const std::vector<std::string>& args, const std::string& scenario, bool fixture = false,
              const std::string& stdoutTo = "");
  Result Finish(pid_t pid);

  // NAME=VALUE settings for the program's environment.
  std::vector<std::string> environment;

 private:
  fs::path dir_;
};

// The set-state requests in the call record.
std::vector<std::string> SetStates(const Result& result);

// The set-state request to the switch ID ("1.2") with VALUE, as logged.
std::string SetOn(const std::string& id, int value);

// VELORIN_DEBUG=1 says why on standard error; standard output and the exit
// status stay exactly as without it.
struct DiagnosticsCase {
  const char* what;
  std::string scenario;
  std::vector<std::string> args;
  std::string err;
  std::vector<std::string> env = {};
};
void ExpectDiagnostics(const DiagnosticsCase& c);

}  // namespace cli
