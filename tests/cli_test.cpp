// The built program, run as a script would run it: standard output byte for
// byte, exit status, nothing on standard error, and what reached the switches.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

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

struct Result {
  std::string out, err;
  int status = -1;
  std::vector<std::string> calls;
};

class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/velorin-cli-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    fs::create_directories(dir_ / "record");
    fs::create_directories(dir_ / "devices");
  }
  ~Sandbox() { fs::remove_all(dir_); }
  const fs::path& dir() const { return dir_; }

  void Write(const fs::path& relative, const std::string& content) {
    fs::create_directories((dir_ / relative).parent_path());
    std::ofstream(dir_ / relative, std::ios::binary) << content;
  }

  // Runs the program over the fake bus; with fixture, the inventory reads
  // this sandbox's record/ and devices/ instead of the system's. Standard
  // output goes to a file, or to: "closed", "broken pipe" (a pipe whose
  // reader has gone, SIGPIPE ignored) or a device path such as /dev/full.
  Result Run(const std::vector<std::string>& args, const std::string& scenario, bool fixture = false,
             const std::string& stdoutTo = "") {
    return Finish(Start(args, scenario, fixture, stdoutTo));
  }

  // Run in two halves, for programs that run at the same time: Start
  // returns the program's process, Finish waits for it.
  pid_t Start(const std::vector<std::string>& args, const std::string& scenario, bool fixture = false,
              const std::string& stdoutTo = "") {
    Write("scenario", scenario);
    std::vector<std::string> command;
    if (fixture) command = {WITH_FIXTURE, (dir_ / "record").string(), (dir_ / "devices").string(), "--"};
    command.push_back(VELORIN_PROGRAM);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const fs::path out = dir_ / "stdout", err = dir_ / "stderr", log = dir_ / "calls";
    fs::remove(log);
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (const std::string& setting : environment) ::putenv(const_cast<char*>(setting.c_str()));
      ::setenv("LD_LIBRARY_PATH", FAKEUSB_DIR, 1);
      ::setenv("FAKEUSB_SCENARIO", (dir_ / "scenario").c_str(), 1);
      ::setenv("FAKEUSB_LOG", log.c_str(), 1);
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

  Result Finish(pid_t pid) {
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

  // NAME=VALUE settings for the program's environment.
  std::vector<std::string> environment;

 private:
  fs::path dir_;
};

bool FixtureWorks() {
  Sandbox sandbox;
  return sandbox.Run({"/L"}, "", true).status == 0;
}

// The set-state requests in the call record.
std::vector<std::string> SetStates(const Result& result) {
  std::vector<std::string> sent;
  for (const std::string& call : result.calls) {
    if (call.rfind("control", 0) == 0 && call.find(" c0 1 ") != std::string::npos) sent.push_back(call);
  }
  return sent;
}

const char* const kTwoSwitches =
    "bus=1 serial=A1 on=1\n"
    "bus=2 serial=B2 kind=2 name=Desk\\x20lamp\n"
    "bus=2 serial=12345678\n"
    "bus=2 serial=%s%n kind=2 name=50%\\x20%d\n"
    "bus=2 serial=OLD version=2.0\n"
    "bus=2 serial=SLOW fail1=-110\n"
    "bus=2 serial=EVIL kind=2 name=\\x1b]0;owned\\x07A\\x0aB\\xc2\\x9b2J\\xc2\\xa0\\xe9\\x7f\n";

std::string SetOn(const std::string& id, int value) {
  return "control " + id + " c0 1 " + std::to_string(value) + " 0 8 1000";
}

}  // namespace

TEST(CommandLineTest, OutputAndExitStatus) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string out;
    int status;
    std::vector<std::string> setStates;
  };
  const std::string failedA1 = "Changing switch with serial number a1 failed!" + kFailed;
  // clang-format off
  const std::vector<Case> cases = {
      {"no arguments", {}, kHelp, 0, {}},
      {"help", {"/H"}, kHelp, 0, {}},
      {"help, question mark", {"/?"}, kHelp, 0, {}},
      {"help, lower case", {"/h"}, kHelp, 0, {}},
      {"/S without /N", {"/S=on"}, kNoSerial, 1, {}},
      {"/L with /S and no /N", {"/L", "/S=on"}, kNoSerial, 1, {}},
      {"invalid /S value", {"/N=A1", "/S=maybe"}, kInvalid, 2, {}},
      {"invalid then valid /S, no /N", {"/S=bad", "/S=on"}, kNoSerial, 1, {}},
      {"valid then invalid /S", {"/S=on", "/S=bad", "/N=A1"}, kInvalid, 2, {}},
      {"invalid stays after valid", {"/S=bad", "/S=on", "/N=A1"}, kInvalid, 2, {}},
      {"separator missing", {"/N=A1", "/Son"}, kInvalid, 2, {}},
      {"/S= alone", {"/S="}, "", 0, {}},
      {"/N= alone with /S", {"/N=", "/S=on"}, kNoSerial, 1, {}},
      {"ignored arguments", {"/X", "/LL", "/Lxyz", "-h", "x", ""}, "", 0, {}},
      {"serial alone queries", {"/N=A1"}, "Switch with serial number A1 is turned on\n", 0, {}},
      {"query", {"/N=B2", "/S=QUERY"}, "Desk lamp is turned off\n", 0, {}},
      {"lower-case keys", {"/n=A1", "/s=Off"}, "Switch with serial number A1 turned off\n", 0, {SetOn("1.1", 0)}},
      {"serial keeps its case", {"/N=a1", "/S=on"}, failedA1, 3, {}},
      {"any separator, 8 characters", {"/N:12345678XYZ", "/S=on"},
       "Switch with serial number 12345678 turned on\n", 0, {SetOn("2.2", 1)}},
      {"named switch, the right one", {"/N=B2", "/S=on"}, "Desk lamp turned on\n", 0, {SetOn("2.1", 1)}},
      {"percent signs are data", {"/N=%s%n", "/S=on"}, "50% %d turned on\n", 0, {SetOn("2.3", 1)}},
      {"version 2.0", {"/N=OLD", "/S=on"}, "Changing switch with serial number OLD failed!" + kFailed, 3, {}},
      {"set-state times out", {"/N=SLOW", "/S=on"}, "Changing switch with serial number SLOW failed!" + kFailed, 3,
       {SetOn("2.5", 1)}},
      {"control bytes in a name are shown, not sent", {"/N=EVIL", "/S=on"},
       "?]0;owned?A?B?2J\xc2\xa0\xe9? turned on\n", 0, {SetOn("2.6", 1)}},
      {"control bytes in a queried name", {"/N=EVIL"}, "?]0;owned?A?B?2J\xc2\xa0\xe9? is turned off\n", 0, {}},
      {"control bytes in the serial number asked for are shown, not sent", {"/N=\x1b]2;x\x07", "/S=on"},
       "Changing switch with serial number ?]2;x? failed!" + kFailed, 3, {}},
      {"unknown serial", {"/N=NONE", "/S=off"}, "Changing switch with serial number NONE failed!" + kFailed, 3, {}},
      {"help after the command", {"/H", "/N=A1", "/S=on"}, "Switch with serial number A1 turned on\n" + kHelp, 0,
       {SetOn("1.1", 1)}},
      {"help after an error", {"/S=on", "/?"}, kNoSerial + kHelp, 1, {}},
      {"help after a failure", {"/N=a1", "/h"}, failedA1 + kHelp, 3, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    Sandbox sandbox;
    const Result result = sandbox.Run(c.args, kTwoSwitches);
    EXPECT_EQ(result.out, c.out) << c.what;
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
    EXPECT_EQ(SetStates(result), c.setStates) << c.what;
  }
}

// Output that did not arrive is not success: status 4 and one line saying
// why on standard error, whatever the run would have ended with otherwise.
TEST(CommandLineTest, LostOutputIsNotSuccess) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string stdoutTo;
    std::string err;
    std::vector<std::string> setStates;
  };
  const std::string full = "velorin: cannot write output: No space left on device\n";
  const std::string closed = "velorin: cannot write output: Bad file descriptor\n";
  const std::string broken = "velorin: cannot write output: Broken pipe\n";
  // clang-format off
  const std::vector<Case> cases = {
      {"help to a full disk", {"/H"}, "/dev/full", full, {}},
      {"list to a full disk", {"/L"}, "/dev/full", full, {}},
      {"query to a closed output", {"/N=A1"}, "closed", closed, {}},
      {"switch command to a broken pipe: the switch acted", {"/N=A1", "/S=off"}, "broken pipe", broken,
       {SetOn("1.1", 0)}},
      {"failure text lost as well", {"/N=NONE"}, "/dev/full", full, {}},
      {"parse error text lost as well", {"/S=on"}, "closed", closed, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    Sandbox sandbox;
    const Result result = sandbox.Run(c.args, kTwoSwitches, false, c.stdoutTo);
    EXPECT_EQ(result.status, 4) << c.what;
    EXPECT_EQ(result.err, c.err) << c.what;
    EXPECT_EQ(SetStates(result), c.setStates) << c.what;
  }
}

// VELORIN_DEBUG=1 says why on standard error; standard output and the exit
// status stay exactly as without it.
TEST(CommandLineTest, DiagnosticsSayWhy) {
  struct Case {
    const char* what;
    std::string scenario;
    std::vector<std::string> args;
    std::string err;
    std::vector<std::string> env = {};
  };
  const std::string at1 = "velorin: bus 001 device 001: ", at2 = "velorin: bus 001 device 002: ";
  // The other libusb 0.1, libusb-compat, runs over libusb-1.0: with that
  // loaded into the tool, the tool takes its libusb 0.1 for that one. (The
  // sanitizers' runtime must come first unless told otherwise.)
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::vector<std::string> overLibusb1 = {
      "LD_PRELOAD=libusb-1.0.so.0",
      "ASAN_OPTIONS=" + (asan != nullptr ? std::string(asan) + ":" : std::string()) + "verify_asan_link_order=0"};
  const bool libusb1 = ::dlopen("libusb-1.0.so.0", RTLD_LAZY) != nullptr;
  std::vector<std::string> devfsOverLibusb1 = overLibusb1;
  devfsOverLibusb1.push_back("USB_DEVFS_PATH=/somewhere");
  const std::string compat =
      "velorin: scanning sysfs: libusb-compat (over libusb-1.0) lists the devices there and "
      "opens only the switches";
  const std::string seen1 = at1 + "a switch (16c0:2823)\n", seen2 = at2 + "a switch (16c0:2823)\n";
  // clang-format off
  const std::vector<Case> cases = {
      {"nothing attached", "bus=1 serial=A1 vendor=1234\n", {"/N=A1"}, "velorin: no switch (16c0:2823) is attached\n"},
      {"unplugged: others differ", "bus=1 serial=B2\nbus=1 noserial\n", {"/N=A1"},
       seen1 + at1 + "serial number differs\n" + seen2 + at2 + "serial number cannot be read: Broken pipe\n" +
           "velorin: no usable switch has the serial number A1\n"},
      {"not accessible", "bus=1 serial=A1 open=fail\n", {"/N=A1", "/S=on"},
       seen1 + at1 +
           "cannot be opened: Permission denied; the user needs the group " VELORIN_GROUP " or a local seat session for "
           "/dev/bus/usb/001/001\nvelorin: no usable switch has the serial number A1\n"},
      {"busy", "bus=1 serial=A1 busyclaim=1000\n", {"/N=A1"},
       seen1 + at1 + "busy for longer than 2 s (another program holds it)\n" +
           "velorin: no usable switch has the serial number A1\n"},
      {"serial read timed out: asked again", "bus=1 serial=A1 slowserial=1\n", {"/N=A1"},
       seen1 + at1 + "serial number read timed out; asking again in its turn\n"},
      {"serial read timed out twice", "bus=1 serial=A1 slowserial=2\n", {"/N=A1"},
       seen1 + at1 + "serial number read timed out; asking again in its turn\n" + at1 +
           "serial number cannot be read: Connection timed out\nvelorin: no usable switch has the serial number A1\n"},
      {"other firmware", "bus=1 serial=A1 version=2.0\nbus=1 serial=A1 kind=3\n", {"/N=A1"},
       seen1 + at1 + "firmware version 2.0 not supported\n"},
      {"transfer fails", "bus=1 serial=A1 fail1=-110\n", {"/N=A1", "/S=off"},
       seen1 + at1 + "transfer failed: request 1: Connection timed out\n"},
      {"works: one line per device looked at", "bus=1 serial=A1\n", {"/N=A1"}, seen1},
      {"the serial number asked for is shown, not sent", "bus=1 serial=A1\n", {"/N=\x1b]2;x\x07"},
       seen1 + at1 + "serial number differs\nvelorin: no usable switch has the serial number ?]2;x?\n"},
      {"USB_DEVFS_PATH set: left as it is", "bus=1 serial=A1\n", {"/N=A1"},
       "velorin: scanning USB_DEVFS_PATH as set: /somewhere\n" + seen1, {"USB_DEVFS_PATH=/somewhere"}},
      {"over libusb-1.0: USB_DEVFS_PATH is ignored", "bus=1 serial=A1\n", {"/N=A1"},
       compat + "; it ignores USB_DEVFS_PATH as set: /somewhere\n" + seen1, devfsOverLibusb1},
      {"over libusb-1.0, nothing attached", "", {"/N=A1"}, "velorin: no switch (16c0:2823) is attached\n",
       overLibusb1},
  };
  // clang-format on
  for (const Case& c : cases) {
    if (c.env.size() > 1 && !libusb1) {
      ADD_FAILURE() << c.what << ": libusb-1.0.so.0 is not installed (apt-get install libusb-1.0-0)";
      continue;
    }
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
}

// Programs using one switch at the same time take turns. Each command here
// holds the switch about 0.6 s (six requests of 100 ms), so a queue of 8
// outlasts the 2 s a command waits for a switch another program holds; all
// succeed.
TEST(CommandLineTest, CommandsOnOneSwitchTakeTurns) {
  struct Case {
    const char* what;
    int count;
    bool debug;
    std::string said;  // in some command's diagnostics
  };
  const std::vector<Case> cases = {
      {"a queue of 8 on one switch", 8, false, ""},
      {"a wait in line is said", 2, true, " ms in line for its turn\n"},
  };
  for (const Case& c : cases) {
    Sandbox shared;
    const fs::path node = shared.dir() / "nodes" / "001" / "001";
    fs::create_directories(node.parent_path());
    fs::create_directories(shared.dir() / "state");
    std::ofstream(node).close();
    fs::permissions(node, fs::perms::owner_read | fs::perms::owner_write);

    std::vector<std::unique_ptr<Sandbox>> runs;
    std::vector<pid_t> pids;
    for (int i = 0; i < c.count; ++i) {
      runs.push_back(std::make_unique<Sandbox>());
      runs.back()->environment = {"FAKEUSB_STATE=" + (shared.dir() / "state").string(),
                                  "USB_DEVFS_PATH=" + (shared.dir() / "nodes").string()};
      if (c.debug) runs.back()->environment.push_back("VELORIN_DEBUG=1");
      pids.push_back(
          runs.back()->Start({"/N=A1", i % 2 ? "/S=on" : "/S=off"}, "bus=1 serial=A1 kind=2 name=Lamp answerms=100\n"));
    }
    bool said = c.said.empty();
    for (int i = 0; i < c.count; ++i) {
      const Result result = runs[i]->Finish(pids[i]);
      EXPECT_EQ(result.status, 0) << c.what << " #" << i;
      EXPECT_EQ(result.out, i % 2 ? "Lamp turned on\n" : "Lamp turned off\n") << c.what << " #" << i;
      if (!c.debug) {
        EXPECT_EQ(result.err, "") << c.what << " #" << i;
      }
      said = said || result.err.find(c.said) != std::string::npos;
    }
    EXPECT_TRUE(said) << c.what << ": no command said \"" << c.said << "\"";
  }
}

TEST(CommandLineTest, ListsFromTheInventory) {
  if (!FixtureWorks()) GTEST_SKIP() << "no mount namespace for the inventory fixture";
  struct Case {
    const char* what;
    std::string record;
    std::vector<std::string> args;
    std::string out;
    int status;
    bool attachedB2 = true;  // attached but not recorded yet
  };
  const std::string installed = "\nInstalled switches:\nA1\nX9\nA1\nB2\n\n";
  const std::string available = "\nAvailable switches:\n[A1]: \n[A1]: \n[B2]: Desk lamp\n\n";
  // clang-format off
  const std::vector<Case> cases = {
      {"nothing installed", "", {"/A", "/L"}, "\nInstalled switches:\nnone\n\n\nAvailable switches:\nnone\n\n", 0,
       false},
      {"installed then available", "A1\nX9\n\nA1\n", {"/A", "/L"}, installed + available, 0},
      {"lists before the command", "A1\nX9\n\nA1\n", {"/N=A1", "/S=off", "/L"},
       installed + "Switch with serial number A1 turned off\n", 0},
      {"no list after a parse error", "A1\n", {"/L", "/A", "/S=on"}, kNoSerial, 1},
      {"none answers", "X9\n", {"/A"}, "\nAvailable switches:\n\n", 0, false},
      {"control bytes in the record are shown, not sent", "\x1b[2J\x07\xc2\x9b\n", {"/L", "/A"},
       "\nInstalled switches:\n?[2J??\nB2\n\n\nAvailable switches:\n[?[2J??]: \n[B2]: Desk lamp\n\n", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    Sandbox sandbox;
    sandbox.Write("record/installed", c.record);
    if (c.attachedB2) {
      sandbox.Write("devices/2-1/idVendor", "16c0\n");
      sandbox.Write("devices/2-1/idProduct", "2823\n");
      sandbox.Write("devices/2-1/serial", "B2\n");
    }
    const Result result = sandbox.Run(
        c.args, "bus=1 serial=A1\nbus=2 serial=B2 kind=2 name=Desk\\x20lamp\nbus=2 serial=\\x1b[2J\\x07\\xc2\\x9b\n",
        true);
    EXPECT_EQ(result.out, c.out) << c.what;
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
  }
}

TEST(CommandLineTest, ReadmeShowsTheRealHelpScreen) {
  const std::string readme = ReadAll(README_FILE);
  const std::string marker = "<!-- help screen -->\n```text\n";
  const std::size_t start = readme.find(marker);
  ASSERT_NE(start, std::string::npos) << "README lacks the help screen block";
  const std::size_t begin = start + marker.size();
  const std::size_t end = readme.find("```\n", begin);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ("\n" + readme.substr(begin, end - begin) + "\n", kHelp);
}
