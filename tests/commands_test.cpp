// The switch, query and listing commands: their output and what they send.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "commands.h"
#include "fake_usb.h"
#include "inventory.h"
#include "listings.h"

namespace {

using fakeusb::Switch;

// The control requests sent, as request numbers, in order.
std::vector<int> Requests() {
  std::vector<int> requests;
  for (const std::string& call : fakeusb::Calls()) {
    if (call.rfind("control", 0) == 0) requests.push_back(std::stoi(call.substr(call.find(" c0 ") + 4)));
  }
  return requests;
}

template <typename Command>
std::string Output(Command command, bool& result) {
  testing::internal::CaptureStdout();
  result = command();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(SwitchCommandTest, ReportsAndSends) {
  struct Case {
    const char* what;
    fakeusb::Device device;
    std::string serial;
    bool on;
    bool success;
    std::string output;
    std::vector<int> requests;
  };
  fakeusb::Device setFails = Switch("A1", 2, "Lamp");
  setFails.failRequest[1] = -ETIMEDOUT;
  fakeusb::Device nameFails = Switch("A1", 2, "Lamp");
  nameFails.failRequest[6] = -EPIPE;
  // clang-format off
  const std::vector<Case> cases = {
      {"kind 1 on", Switch("A1"), "A1", true, true, "Switch with serial number A1 turned on\n", {4, 5, 1, 5}},
      {"kind 1 off", Switch("A1", 1, "", true), "A1", false, true, "Switch with serial number A1 turned off\n",
       {4, 5, 1, 5}},
      {"kind 2 named", Switch("A1", 2, "Desk lamp"), "A1", true, true, "Desk lamp turned on\n",
       {4, 5, 1, 5, 5, 6}},
      {"kind 2 unnamed", Switch("A1", 2, ""), "A1", false, true, "Switch with serial number A1 turned off\n",
       {4, 5, 1, 5, 5, 6}},
      {"percent signs", Switch("%s%n", 2, "100% %d"), "%s%n", true, true, "100% %d turned on\n",
       {4, 5, 1, 5, 5, 6}},
      {"name read fails", nameFails, "A1", true, true, "Switch with serial number A1 turned on\n",
       {4, 5, 1, 5, 5, 6}},
      {"set-state fails", setFails, "A1", true, false, "Changing switch with serial number A1 failed!", {4, 5, 1}},
      {"not attached", Switch("A1"), "B2", true, false, "Changing switch with serial number B2 failed!", {}},
      {"kind 3", Switch("A1", 3), "A1", true, false, "Changing switch with serial number A1 failed!", {4, 5}},
  };
  // clang-format on
  for (const Case& c : cases) {
    fakeusb::Reset({{c.device}});
    bool success = false;
    EXPECT_EQ(Output([&] { return SwitchCommand(c.serial, c.on); }, success), c.output) << c.what;
    EXPECT_EQ(success, c.success) << c.what;
    EXPECT_EQ(Requests(), c.requests) << c.what;
    EXPECT_EQ(fakeusb::OpenHandles(), 0) << c.what;
    if (c.success) {
      EXPECT_EQ(fakeusb::At(1, 1).on, c.on) << c.what;
    }
  }
}

TEST(SwitchCommandTest, EmptySerialFailsWithoutUsb) {
  fakeusb::Reset({{Switch("A1")}});
  bool success = true;
  EXPECT_EQ(Output([] { return SwitchCommand("", true); }, success), "Changing switch with serial number  failed!");
  EXPECT_FALSE(success);
  EXPECT_TRUE(fakeusb::Calls().empty());
}

TEST(SwitchCommandTest, ActsOnlyOnTheNamedSwitch) {
  fakeusb::Reset({{Switch("A1", 2, "First")}, {Switch("B2", 2, "Second")}});
  bool success = false;
  EXPECT_EQ(Output([] { return SwitchCommand("B2", true); }, success), "Second turned on\n");
  EXPECT_TRUE(success);
  EXPECT_FALSE(fakeusb::At(1, 1).on);
  EXPECT_TRUE(fakeusb::At(2, 1).on);
}

TEST(QueryCommandTest, ReportsTheState) {
  struct Case {
    const char* what;
    fakeusb::Device device;
    bool success;
    std::string output;
    std::vector<int> requests;
  };
  fakeusb::Device stateFails = Switch("A1", 1, "", true);
  stateFails.failRequest[0] = -EPIPE;
  fakeusb::Device stateShort = Switch("A1", 1, "", true);
  stateShort.failRequest[0] = 0;
  // clang-format off
  const std::vector<Case> cases = {
      {"on", Switch("A1", 1, "", true), true, "Switch with serial number A1 is turned on\n", {4, 5, 0, 5}},
      {"off", Switch("A1"), true, "Switch with serial number A1 is turned off\n", {4, 5, 0, 5}},
      {"named", Switch("A1", 2, "Fan", true), true, "Fan is turned on\n", {4, 5, 0, 5, 5, 6}},
      {"state read fails", stateFails, false, "Changing switch with serial number A1 failed!", {4, 5, 0}},
      {"state reply empty", stateShort, false, "Changing switch with serial number A1 failed!", {4, 5, 0}},
  };
  // clang-format on
  for (const Case& c : cases) {
    fakeusb::Reset({{c.device}});
    bool success = false;
    EXPECT_EQ(Output([] { return QueryCommand("A1"); }, success), c.output) << c.what;
    EXPECT_EQ(success, c.success) << c.what;
    EXPECT_EQ(Requests(), c.requests) << c.what;
    EXPECT_EQ(fakeusb::OpenHandles(), 0) << c.what;
  }
}

TEST(ListingTest, Lists) {
  struct Case {
    const char* what;
    std::vector<std::string> installed;
    std::string installedList, availableList;
  };
  const std::string name32(32, 'N');
  // clang-format off
  const std::vector<Case> cases = {
      {"nothing installed", {}, "\nInstalled switches:\nnone\n\n", "\nAvailable switches:\nnone\n\n"},
      {"none answers", {"X1", "X2"}, "\nInstalled switches:\nX1\nX2\n\n", "\nAvailable switches:\n\n"},
      {"mixed, in list order, duplicates kept",
       {"B2", "X1", "A1", "B2", "C3"},
       "\nInstalled switches:\nB2\nX1\nA1\nB2\nC3\n\n",
       "\nAvailable switches:\n[B2]: Lamp %s\n[A1]: \n[B2]: Lamp %s\n[C3]: " + name32 + "\n\n"},
      {"a name cannot forge an entry or reach the terminal", {"E5"}, "\nInstalled switches:\nE5\n\n",
       "\nAvailable switches:\n[E5]: x?[FAKE]: y?[2J\n\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    fakeusb::Reset({{Switch("A1"), Switch("B2", 2, "Lamp %s")},
                    {Switch("C3", 2, name32), Switch("D4", 2, "x"), Switch("E5", 2, "x\n[FAKE]: y\x1b[2J")}});
    InstalledSwitches = c.installed;
    bool unused = false;
    EXPECT_EQ(Output(
                  [] {
                    ListInstalledSwitches();
                    return true;
                  },
                  unused),
              c.installedList)
        << c.what;
    EXPECT_TRUE(fakeusb::Calls().empty()) << "listing installed switches must not touch the bus";
    EXPECT_EQ(Output(
                  [] {
                    ListAvailableSwitches();
                    return true;
                  },
                  unused),
              c.availableList)
        << c.what;
    EXPECT_EQ(fakeusb::OpenHandles(), 0) << c.what;
    for (const std::string& call : fakeusb::Calls()) EXPECT_NE(call, "config 2.2") << "D4 was never listed";
  }
  InstalledSwitches.clear();
}
