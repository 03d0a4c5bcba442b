// TVelorin against the scripted bus: which calls reach the library, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fake_calls.h"
#include "fake_usb.h"
#include "velorin.h"

using fakeusb::Switch;

TEST_F(DeviceTest, OpenSendsTheRequestsInOrder) {
  fakeusb::Reset({{Switch("A1")}});
  TVelorin connection;
  EXPECT_TRUE(connection.Open("A1"));
  EXPECT_TRUE(connection.IsOpen());
  EXPECT_EQ(connection.SerialNumber, "A1");
  connection.Close();
  EXPECT_EQ(fakeusb::Calls(), Join({kScan, Accept("1.1"), {"close 1.1"}}));
}

TEST_F(DeviceTest, EmptySerialOnNewConnectionSucceedsWithoutUsb) {
  fakeusb::Reset({{Switch("A1")}});
  TVelorin connection;
  EXPECT_TRUE(connection.Open(""));
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_TRUE(fakeusb::Calls().empty());
}

TEST_F(DeviceTest, EmptySerialReopensTheRememberedSwitch) {
  fakeusb::Reset({{Switch("A1")}});
  TVelorin connection;
  ASSERT_TRUE(connection.Open("A1"));
  connection.Close();
  EXPECT_TRUE(connection.Open(""));
  EXPECT_EQ(fakeusb::Calls(), Join({kScan, Accept("1.1"), {"close 1.1"}, kScan, Accept("1.1")}));
}

TEST_F(DeviceTest, VersionMustHaveMajorOne) {
  struct Case {
    std::uint8_t major, minor;
    bool accepted;
  };
  for (const Case& c :
       {Case{0, 9, false}, Case{0, 255, false}, Case{1, 0, true}, Case{1, 255, true}, Case{2, 0, false}}) {
    fakeusb::Device device = Switch("A1");
    device.version[0] = c.minor;
    device.version[1] = c.major;
    fakeusb::Reset({{device}});
    TVelorin connection;
    EXPECT_EQ(connection.Open("A1"), c.accepted) << int(c.major) << "." << int(c.minor);
    EXPECT_EQ(connection.IsOpen(), c.accepted);
    Calls rejected = Join({kScan, Accept("1.1")});
    rejected.back() = "close 1.1";  // no kind request after a rejected version
    if (!c.accepted) {
      EXPECT_EQ(fakeusb::Calls(), rejected);
    }
  }
}

TEST_F(DeviceTest, KindMustBeOneOrTwo) {
  for (int kind : {0, 1, 2, 3, 255}) {
    fakeusb::Reset({{Switch("A1", kind)}});
    TVelorin connection;
    const bool accepted = kind == 1 || kind == 2;
    EXPECT_EQ(connection.Open("A1"), accepted) << kind;
    if (!accepted) {
      EXPECT_EQ(fakeusb::Calls().back(), "close 1.1") << kind;
    }
  }
}

TEST_F(DeviceTest, FailedVersionOrKindReadIsRejected) {
  for (int request : {4, 5}) {
    for (int result : {-ETIMEDOUT, -EPIPE, 0}) {
      fakeusb::Device device = Switch("A1", 2);
      device.failRequest[request] = result;
      fakeusb::Reset({{device}});
      TVelorin connection;
      EXPECT_FALSE(connection.Open("A1")) << "request " << request << " result " << result;
    }
  }
}

// Every way a candidate can fail sends Open on to the next device.
TEST_F(DeviceTest, EachFailingStepFallsThroughToTheNextDevice) {
  struct Case {
    const char* what;
    fakeusb::Device first;
    Calls firstCalls;
  };
  fakeusb::Device cannotOpen = Switch("A1");
  cannotOpen.openFails = true;
  fakeusb::Device noSerial = Switch("A1");
  noSerial.serial.reset();
  fakeusb::Device configRefused = Switch("A1");
  configRefused.configResult = -EPIPE;  // not -EIO: libusb-win32 says that for a busy switch
  fakeusb::Device claimRefused = Switch("A1");
  claimRefused.claimResult = -EACCES;
  fakeusb::Device slowThenOther = Switch("B2");
  slowThenOther.slowSerial = 1;
  fakeusb::Device slowTwice = Switch("A1");
  slowTwice.slowSerial = 2;
  fakeusb::Device otherProduct = Switch("A1");
  otherProduct.product = 0x2824;
  const std::vector<Case> cases = {
      {"other product", otherProduct, {}},
      {"cannot open", cannotOpen, {"open 1.1"}},
      {"other serial", Switch("B2"), {"open 1.1", "string 1.1 3", "close 1.1"}},
      {"serial unreadable", noSerial, {"open 1.1", "string 1.1 3", "close 1.1"}},
      {"serial differs in case", Switch("a1"), {"open 1.1", "string 1.1 3", "close 1.1"}},
      {"serial read times out, then differs", slowThenOther, {"open 1.1", "string 1.1 3", "string 1.1 3", "close 1.1"}},
      {"serial read times out twice", slowTwice, {"open 1.1", "string 1.1 3", "string 1.1 3", "close 1.1"}},
      {"configuration refused", configRefused, {"open 1.1", "string 1.1 3", "config 1.1 1", "close 1.1"}},
      {"claim refused", claimRefused, {"open 1.1", "string 1.1 3", "config 1.1 1", "claim 1.1 0", "close 1.1"}},
  };
  for (const Case& c : cases) {
    fakeusb::Reset({{c.first}, {Switch("A1")}});
    TVelorin connection;
    EXPECT_TRUE(connection.Open("A1")) << c.what;
    EXPECT_EQ(fakeusb::Calls(), Join({kScan, c.firstCalls, Accept("2.1")})) << c.what;
    connection.Close();
  }
}

TEST_F(DeviceTest, TakesTheSwitchWithTheAskedSerialAndOpensNoLaterOne) {
  fakeusb::Reset({{Switch("A1"), Switch("B2")}, {Switch("C3")}});
  {
    TVelorin connection;
    ASSERT_TRUE(connection.Open("B2"));
  }
  EXPECT_EQ(fakeusb::Calls(), Join({kScan, {"open 1.1", "string 1.1 3", "close 1.1"}, Accept("1.2"), {"close 1.2"}}));

  fakeusb::Reset({{Switch("A1"), Switch("B2")}});
  TVelorin connection;
  EXPECT_FALSE(connection.Open("Z9"));
  EXPECT_FALSE(connection.IsOpen());
}

// Opening by bus and device asks no other switch for its serial number, so
// its cost does not grow with the switches attached.
TEST_F(DeviceTest, OpenAtTouchesOnlyTheSwitchAtThatNode) {
  const Calls kRefused = {"open 2.2", "string 2.2 3", "close 2.2"};
  struct Case {
    const char* what;
    velorin::TUsbNode node;
    const char* serial;
    bool opened;
    Calls calls;
  };
  const Case cases[] = {
      // Listed by the last scan: taken without scanning again.
      {"the switch there", {2, 2}, "D4", true, Join({{"get_busses", "get_busses"}, Accept("2.2"), {"close 2.2"}})},
      // Listed but not the one asked for: the list may be stale, so one scan more.
      {"another serial there", {2, 2}, "C3", false, Join({{"get_busses", "get_busses"}, kRefused, kScan, kRefused})},
      {"nothing there", {3, 1}, "D4", false, Join({{"get_busses"}, kScan})},
      {"no serial asked", {1, 1}, "", false, {}},
  };
  for (const Case& c : cases) {
    fakeusb::Reset({{Switch("A1"), Switch("B2")}, {Switch("C3"), Switch("D4")}});
    {
      TVelorin connection;
      EXPECT_EQ(connection.OpenAt(c.node, c.serial), c.opened) << c.what;
      EXPECT_EQ(connection.IsOpen(), c.opened) << c.what;
    }
    EXPECT_EQ(fakeusb::Calls(), c.calls) << c.what;
  }
  // Afterwards Open scans every switch again.
  fakeusb::Reset({{Switch("A1"), Switch("B2")}});
  TVelorin connection;
  EXPECT_FALSE(connection.OpenAt({1, 1}, "B2"));
  EXPECT_TRUE(connection.Open("B2"));
}

TEST_F(DeviceTest, BusySwitchIsRetriedUntilFree) {
  fakeusb::Device busyConfig = Switch("A1");
  busyConfig.busyConfig = 3;
  fakeusb::Device busyClaim = Switch("A1");
  busyClaim.busyClaim = 2;
  for (const fakeusb::Device& device : {busyConfig, busyClaim}) {
    fakeusb::Reset({{device}});
    TVelorin connection;
    EXPECT_TRUE(connection.Open("A1"));
    int configs = 0, claims = 0;
    for (const std::string& call : fakeusb::Calls()) {
      configs += call.rfind("config", 0) == 0;
      claims += call.rfind("claim", 0) == 0;
    }
    EXPECT_EQ(configs, 1 + device.busyConfig);
    EXPECT_EQ(claims, 1 + device.busyClaim);
  }
}

TEST_F(DeviceTest, SwitchHeldTooLongIsGivenUpAfterTheRetryWindow) {
  fakeusb::Device held = Switch("A1");
  held.busyConfig = 1 << 30;
  fakeusb::Reset({{held}, {Switch("A1")}});
  const auto start = std::chrono::steady_clock::now();
  TVelorin connection;
  EXPECT_TRUE(connection.Open("A1"));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(2000));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(fakeusb::Calls().back(), Control("2.1", 5)) << "the next device must be taken";
}

TEST_F(DeviceTest, OperationsWithoutHandleTouchNothing) {
  fakeusb::Reset({{Switch("A1", 2, "Lamp")}});
  TVelorin connection;
  EXPECT_FALSE(connection.GetState().has_value());
  EXPECT_FALSE(connection.SetState(true));
  const TSwitchVersion version = connection.GetVersion();
  EXPECT_EQ(version.Major, 0);
  EXPECT_EQ(version.Minor, 0);
  EXPECT_EQ(version.Aux, 0);
  EXPECT_EQ(connection.GetKind(), 0);
  EXPECT_EQ(connection.GetName(), "");
  connection.Close();
  EXPECT_TRUE(fakeusb::Calls().empty());
}

TEST_F(DeviceTest, RequestsCarryTheirValuesAndDecodeReplies) {
  fakeusb::Device device = Switch("A1", 2, "Lamp");
  device.version[0] = 7;
  device.version[2] = 0x34;
  device.version[3] = 0x12;
  fakeusb::Reset({{device}});
  TVelorin connection;
  ASSERT_TRUE(connection.Open("A1"));
  const std::size_t before = fakeusb::Calls().size();
  EXPECT_TRUE(connection.SetState(true));
  EXPECT_EQ(connection.GetState(), std::optional<bool>(true));
  EXPECT_TRUE(connection.SetState(false));
  EXPECT_EQ(connection.GetState(), std::optional<bool>(false));
  const TSwitchVersion version = connection.GetVersion();
  EXPECT_EQ(version.Major, 1);
  EXPECT_EQ(version.Minor, 7);
  EXPECT_EQ(version.Aux, 0x1234);
  EXPECT_EQ(connection.GetName(), "Lamp");
  const Calls sent(fakeusb::Calls().begin() + static_cast<long>(before), fakeusb::Calls().end());
  EXPECT_EQ(sent, (Calls{Control("1.1", 1, 1), Control("1.1", 0), Control("1.1", 1, 0), Control("1.1", 0),
                         Control("1.1", 4), Control("1.1", 5), Control("1.1", 6, 0, 32)}));
}

TEST_F(DeviceTest, NamesAreCutAtZeroOrAfter32Bytes) {
  struct Case {
    int kind;
    std::string name, expected;
  };
  const std::string full32 = "0123456789abcdefghijklmnopqrstuv";
  for (const Case& c :
       {Case{2, "", ""}, Case{2, "Lamp %s %n", "Lamp %s %n"}, Case{2, full32, full32}, Case{2, full32 + "xyz", full32},
        Case{2, std::string("ab\0cd", 5), "ab"}, Case{1, "Hidden", ""}}) {
    fakeusb::Reset({{Switch("A1", c.kind, c.name)}});
    TVelorin connection;
    ASSERT_TRUE(connection.Open("A1"));
    const std::size_t before = fakeusb::Calls().size();
    EXPECT_EQ(connection.GetName(), c.expected);
    // A plain switch costs one kind request and no name request.
    EXPECT_EQ(fakeusb::Calls().size() - before, c.kind == 2 ? 2u : 1u);
  }
}

TEST_F(DeviceTest, FailedStateReadIsNoState) {
  for (int result : {-ETIMEDOUT, -EPIPE, 0}) {
    fakeusb::Device device = Switch("A1");
    device.on = true;
    device.failRequest[0] = result;
    fakeusb::Reset({{device}});
    TVelorin connection;
    ASSERT_TRUE(connection.Open("A1"));
    EXPECT_FALSE(connection.GetState().has_value()) << result;
  }
}

TEST_F(DeviceTest, StateOptionsApplyOnOpenAndClose) {
  fakeusb::Reset({{Switch("A1")}});
  TVelorin connection;
  connection.StateOnOpen = 1;
  connection.StateOnClose = 0;
  ASSERT_TRUE(connection.Open("A1"));
  EXPECT_TRUE(fakeusb::At(1, 1).on);
  connection.Close();
  EXPECT_FALSE(fakeusb::At(1, 1).on);
  EXPECT_EQ(fakeusb::Calls(), Join({kScan, Accept("1.1"), {Control("1.1", 1, 1), Control("1.1", 1, 0), "close 1.1"}}));
}

TEST_F(DeviceTest, DiscardingAnOpenConnectionClosesWithoutRequests) {
  fakeusb::Reset({{Switch("A1")}});
  {
    TVelorin connection;
    connection.StateOnClose = 1;
    ASSERT_TRUE(connection.Open("A1"));
  }
  EXPECT_EQ(fakeusb::Calls(), Join({kScan, Accept("1.1"), {"close 1.1"}}));
  EXPECT_FALSE(fakeusb::At(1, 1).on);
}

TEST_F(DeviceTest, OpeningAnotherSwitchClosesTheFirst) {
  fakeusb::Reset({{Switch("A1"), Switch("B2")}});
  TVelorin connection;
  ASSERT_TRUE(connection.Open("A1"));
  ASSERT_TRUE(connection.Open("B2"));
  EXPECT_EQ(
      fakeusb::Calls(),
      Join({kScan, Accept("1.1"), {"close 1.1"}, kScan, {"open 1.1", "string 1.1 3", "close 1.1"}, Accept("1.2")}));
}
