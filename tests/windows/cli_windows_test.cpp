// velorin.exe only: the installed list from the registry, libusb-win32's
// own results and texts, and not one "\r" from Windows' text mode.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cli_sandbox.h"
#include "wine_registry.h"

using namespace cli;

namespace {

const char* const kBus = "bus=1 serial=A1\nbus=2 serial=B2 kind=2 name=Desk\\x20lamp\n";

}  // namespace

TEST(WindowsCommandLineTest, ListsFromTheRegistry) {
  struct Case {
    const char* what;
    std::optional<std::vector<std::string>> keys;  // nullopt: the group's key is missing
    std::vector<std::string> args;
    std::string out;
  };
  const std::string longName(255, 'n');
  // clang-format off
  const std::vector<Case> cases = {
      {"a missing key", std::nullopt, {"/L", "/A"}, "\nInstalled switches:\nnone\n\n\nAvailable switches:\nnone\n\n"},
      {"a key with no subkeys", std::vector<std::string>{}, {"/L"}, "\nInstalled switches:\nnone\n\n"},
      {"the registry's order: sorted without regard to case", std::vector<std::string>{"b2", "Zed", "A1", "a0"},
       {"/L"}, "\nInstalled switches:\na0\nA1\nb2\nZed\n\n"},
      {"unplugged switches stay installed; only attached ones answer", std::vector<std::string>{"X9", "B2", "A1"},
       {"/L", "/A"}, "\nInstalled switches:\nA1\nB2\nX9\n\n\nAvailable switches:\n[A1]: \n[B2]: Desk lamp\n\n"},
      {"a 255-character subkey name, whole", std::vector<std::string>{longName}, {"/L"},
       "\nInstalled switches:\n" + longName + "\n\n"},
      {"odd characters in a name: data, control bytes shown as ?", std::vector<std::string>{"50% %s%n", "x\x1b[2J"},
       {"/L"}, "\nInstalled switches:\n50% %s%n\nx?[2J\n\n"},
      {"lists before the command", std::vector<std::string>{"A1"}, {"/N=A1", "/S=off", "/L"},
       "\nInstalled switches:\nA1\n\nSwitch with serial number A1 turned off\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    runner::SetInstalledSwitches(c.keys);
    Sandbox sandbox;
    const Result result = sandbox.Run(c.args, kBus);
    EXPECT_EQ(result.out, c.out) << c.what;
    EXPECT_EQ(result.status, 0) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
  }
}

// libusb-win32 says -5 for a switch another program holds and -116 for a
// time-out, and its own text (Windows' message included) for a failure.
TEST(WindowsCommandLineTest, DiagnosticsSayWhatLibusbWin32Says) {
  const std::string at1 = "velorin: bus 001 device 001: ", seen1 = at1 + "a switch (16c0:2823)\n";
  const std::string none = "velorin: no usable switch has the serial number A1\n";
  // clang-format off
  const std::vector<DiagnosticsCase> cases = {
      {"-5 is busy: waited for", "bus=1 serial=A1 claim=-5\n", {"/N=A1"},
       seen1 + at1 + "busy for longer than 2 s (another program holds it)\n" + none},
      {"-16 is not busy here", "bus=1 serial=A1 claim=-16\n", {"/N=A1"},
       seen1 + at1 + "cannot be configured or claimed: usb_claim_interface: win error: General failure.\n" + none},
      {"-116 is a time-out: asked again in its turn", "bus=1 serial=A1 slowserial=2\n", {"/N=A1"},
       seen1 + at1 + "serial number read timed out; asking again in its turn\n" + at1 +
           "serial number cannot be read: usb_get_string_simple: win error: Semaphore timeout.\n" + none},
      {"not accessible", "bus=1 serial=A1 open=fail\n", {"/N=A1", "/S=on"},
       seen1 + at1 + "cannot be opened: usb_open: win error: Access denied.\n" + none},
      {"transfer fails", "bus=1 serial=A1 fail1=-116\n", {"/N=A1", "/S=off"},
       seen1 + at1 + "transfer failed: request 1: usb_control_msg: win error: Semaphore timeout.\n"},
  };
  // clang-format on
  for (const DiagnosticsCase& c : cases) ExpectDiagnostics(c);
}

// Every fixed text ends its lines with one "\n", on both streams.
TEST(WindowsCommandLineTest, NoCarriageReturnInTheOutput) {
  runner::SetInstalledSwitches(std::vector<std::string>{"A1", "B2"});
  const std::vector<std::vector<std::string>> runs = {{"/H"},    {"/L", "/A"},       {"/N=B2", "/S=on"}, {"/N=A1"},
                                                      {"/S=on"}, {"/N=X", "/S=bad"}, {"/N=X9", "/S=off"}};
  for (const std::vector<std::string>& args : runs) {
    Sandbox sandbox;
    sandbox.environment = {"VELORIN_DEBUG=1"};
    const Result result = sandbox.Run(args, kBus);
    EXPECT_NE(result.out.find('\n'), std::string::npos) << args[0];
    EXPECT_EQ(result.out.find('\r'), std::string::npos) << args[0];
    EXPECT_EQ(result.err.find('\r'), std::string::npos) << args[0];
  }
}
