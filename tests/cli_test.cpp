// The built program, run as a script would run it: standard output byte for
// byte, exit status, nothing on standard error, and what reached the
// switches. The same cases run against the Linux program and, under Wine,
// against velorin.exe (the runner in tests/support says which).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "cli_sandbox.h"

using namespace cli;

namespace {

const char* const kTwoSwitches =
    "bus=1 serial=A1 on=1\n"
    "bus=2 serial=B2 kind=2 name=Desk\\x20lamp\n"
    "bus=2 serial=12345678\n"
    "bus=2 serial=%s%n kind=2 name=50%\\x20%d\n"
    "bus=2 serial=OLD version=2.0\n"
    "bus=2 serial=SLOW fail1=-110\n"
    "bus=2 serial=EVIL kind=2 name=\\x1b]0;owned\\x07A\\x0aB\\xc2\\x9b2J\\xc2\\xa0\\xe9\\x7f\n";

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
  const auto line = [](const std::string& to) {
    return "velorin: cannot write output: " + runner::WriteFailureReason(to) + "\n";
  };
  const std::string full = line("/dev/full"), closed = line("closed"), broken = line("broken pipe");
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

// VELORIN_DEBUG=1 says why on standard error, in the same words on every
// system where the words are the tool's own.
TEST(CommandLineTest, DiagnosticsSayWhy) {
  const std::string at1 = "velorin: bus 001 device 001: ";
  const std::string seen1 = at1 + "a switch (16c0:2823)\n";
  // clang-format off
  const std::vector<DiagnosticsCase> cases = {
      {"nothing attached", "bus=1 serial=A1 vendor=1234\n", {"/N=A1"}, "velorin: no switch (16c0:2823) is attached\n"},
      {"busy", "bus=1 serial=A1 busyclaim=1000\n", {"/N=A1"},
       seen1 + at1 + "busy for longer than 2 s (another program holds it)\n" +
           "velorin: no usable switch has the serial number A1\n"},
      {"serial read timed out: asked again", "bus=1 serial=A1 slowserial=1\n", {"/N=A1"},
       seen1 + at1 + "serial number read timed out; asking again in its turn\n"},
      {"other firmware", "bus=1 serial=A1 version=2.0\nbus=1 serial=A1 kind=3\n", {"/N=A1"},
       seen1 + at1 + "firmware version 2.0 not supported\n"},
      {"works: one line per device looked at", "bus=1 serial=A1\n", {"/N=A1"}, seen1},
      {"the serial number asked for is shown, not sent", "bus=1 serial=A1\n", {"/N=\x1b]2;x\x07"},
       seen1 + at1 + "serial number differs\nvelorin: no usable switch has the serial number ?]2;x?\n"},
  };
  // clang-format on
  for (const DiagnosticsCase& c : cases) ExpectDiagnostics(c);
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
      runs.back()->environment = {"FAKEUSB_STATE=" + runner::ToolPath(shared.dir() / "state"),
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
