// The command line on Linux only: the inventory's files, the diagnostics
// that name Linux's devices, groups and libraries, and the README.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli_sandbox.h"

using namespace cli;

namespace {

bool FixtureWorks() {
  Sandbox sandbox;
  return sandbox.Run({"/L"}, "", true).status == 0;
}

}  // namespace

// VELORIN_DEBUG=1 on Linux: the texts of errno, the device nodes and the
// group a user needs, and which libusb 0.1 the tool runs on.
TEST(CommandLineTest, LinuxDiagnosticsSayWhy) {
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
  const std::vector<DiagnosticsCase> cases = {
      {"unplugged: others differ", "bus=1 serial=B2\nbus=1 noserial\n", {"/N=A1"},
       seen1 + at1 + "serial number differs\n" + seen2 + at2 + "serial number cannot be read: Broken pipe\n" +
           "velorin: no usable switch has the serial number A1\n"},
      {"not accessible", "bus=1 serial=A1 open=fail\n", {"/N=A1", "/S=on"},
       seen1 + at1 +
           "cannot be opened: Permission denied; the user needs the group " VELORIN_GROUP " or a local seat session for "
           "/dev/bus/usb/001/001\nvelorin: no usable switch has the serial number A1\n"},
      {"serial read timed out twice", "bus=1 serial=A1 slowserial=2\n", {"/N=A1"},
       seen1 + at1 + "serial number read timed out; asking again in its turn\n" + at1 +
           "serial number cannot be read: Connection timed out\nvelorin: no usable switch has the serial number A1\n"},
      {"transfer fails", "bus=1 serial=A1 fail1=-110\n", {"/N=A1", "/S=off"},
       seen1 + at1 + "transfer failed: request 1: Connection timed out\n"},
      {"USB_DEVFS_PATH set: left as it is", "bus=1 serial=A1\n", {"/N=A1"},
       "velorin: scanning USB_DEVFS_PATH as set: /somewhere\n" + seen1, {"USB_DEVFS_PATH=/somewhere"}},
      {"over libusb-1.0: USB_DEVFS_PATH is ignored", "bus=1 serial=A1\n", {"/N=A1"},
       compat + "; it ignores USB_DEVFS_PATH as set: /somewhere\n" + seen1, devfsOverLibusb1},
      {"over libusb-1.0, nothing attached", "", {"/N=A1"}, "velorin: no switch (16c0:2823) is attached\n",
       overLibusb1},
  };
  // clang-format on
  for (const DiagnosticsCase& c : cases) {
    if (c.env.size() > 1 && !libusb1) {
      ADD_FAILURE() << c.what << ": libusb-1.0.so.0 is not installed (apt-get install libusb-1.0-0)";
      continue;
    }
    ExpectDiagnostics(c);
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
