#include "cli_sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli_runner.h"

namespace cli {

const std::string kHelp =
    "\nVelorin Command Line Tool\nVersion 1.0\n"
    "Copyright (c) 2026 the velorin developers; free software under the MIT License\n\n"
    "Valid command line parameters:\n"
    "/H /?\t\tview this help\n"
    "/L\t\tlist installed switches\n"
    "/A\t\tlist available switches\n"
    "/N=...\t\tdefine serial number (8 characters) of used switch\n"
    "/S=on\t\tturn switch on (parameter /N required)\n"
    "/S=off\t\tturn switch off (parameter /N required)\n"
    "/S=query\tquery switch state (parameter /N required)\n"
    "Unknown parameters will be ignored!\n\n";
const std::string kNoSerial = "\nError: No serial number of switch defined!\n\n";
const std::string kInvalid = "\nError: Invalid value for parameter!\n\n";
const std::string kFailed = "\nError: Switch not installed or not available!\n\n";

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

Sandbox::Sandbox() {
  char pattern[] = "/tmp/velorin-cli-XXXXXX";
  dir_ = ::mkdtemp(pattern);
  fs::create_directories(dir_ / "record");
  fs::create_directories(dir_ / "devices");
}

Sandbox::~Sandbox() { fs::remove_all(dir_); }

void Sandbox::Write(const fs::path& relative, const std::string& content) {
  fs::create_directories((dir_ / relative).parent_path());
  std::ofstream(dir_ / relative, std::ios::binary) << content;
}

Result Sandbox::Run(const std::vector<std::string>& args, const std::string& scenario, bool fixture,
                    const std::string& stdoutTo) {
  return Finish(Start(args, scenario, fixture, stdoutTo));
}

pid_t Sandbox::Start(const std::vector<std::string>& args, const std::string& scenario, bool fixture,
                     const std::string& stdoutTo) {
  Write("scenario", scenario);
  std::vector<std::string> command;
  if (fixture) command = {WITH_FIXTURE, (dir_ / "record").string(), (dir_ / "devices").string(), "--"};
  for (const std::string& word : runner::Command(args)) command.push_back(word);
  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const fs::path out = dir_ / "stdout", err = dir_ / "stderr", log = dir_ / "calls";
  fs::remove(log);
  const std::string scenarioPath = runner::ToolPath(dir_ / "scenario"), logPath = runner::ToolPath(log);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const std::string& setting : environment) ::putenv(const_cast<char*>(setting.c_str()));
    runner::PrepareChild();
    ::setenv("FAKEUSB_SCENARIO", scenarioPath.c_str(), 1);
    ::setenv("FAKEUSB_LOG", logPath.c_str(), 1);
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    int ends[2];
    if (stdoutTo == "closed") {
      ::close(1);
    } else if (stdoutTo == "broken pipe" && ::pipe(ends) == 0) {
      ::signal(SIGPIPE, SIG_IGN);
      ::dup2(ends[1], 1);
      ::close(ends[0]);
      ::close(ends[1]);
    } else if (!stdoutTo.empty()) {
      ::dup2(::open(stdoutTo.c_str(), O_WRONLY), 1);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

Result Sandbox::Finish(pid_t pid) {
  const fs::path out = dir_ / "stdout", err = dir_ / "stderr", log = dir_ / "calls";
  int status = 0;
  ::waitpid(pid, &status, 0);
  Result result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  std::istringstream calls(ReadAll(log));
  for (std::string line; std::getline(calls, line);) result.calls.push_back(line);
  return result;
}

std::vector<std::string> SetStates(const Result& result) {
  std::vector<std::string> sent;
  for (const std::string& call : result.calls) {
    if (call.rfind("control", 0) == 0 && call.find(" c0 1 ") != std::string::npos) sent.push_back(call);
  }
  return sent;
}

std::string SetOn(const std::string& id, int value) {
  return "control " + id + " c0 1 " + std::to_string(value) + " 0 8 1000";
}

void ExpectDiagnostics(const DiagnosticsCase& c) {
  Sandbox quiet, sandbox;
  quiet.environment = c.env;
  sandbox.environment = c.env;
  sandbox.environment.push_back("VELORIN_DEBUG=1");
  const Result plain = quiet.Run(c.args, c.scenario), result = sandbox.Run(c.args, c.scenario);
  EXPECT_EQ(result.err, c.err) << c.what;
  EXPECT_EQ(result.out, plain.out) << c.what;
  EXPECT_EQ(result.status, plain.status) << c.what;
  EXPECT_EQ(plain.err, "") << c.what;
}

}  // namespace cli
