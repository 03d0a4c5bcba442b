// TVelorin against the scripted bus: which calls reach the library, in order.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb.h"
#include "velorin.h"

using Calls = std::vector<std::string>;

using fakeusb::Switch;

std::string Control(const std::string& id, int request, int value = 0, int length = 8) {
  return "control " + id + " c0 " + std::to_string(request) + " " + std::to_string(value) + " 0 " +
         std::to_string(length) + " 1000";
}

const Calls kScan = {"init", "find_busses", "find_devices", "get_busses"};

// The calls a successful Open makes on one device after the scan.
Calls Accept(const std::string& id) {
  return {"open " + id,         "string " + id + " 3", "config " + id + " 1",
          "claim " + id + " 0", Control(id, 4),        Control(id, 5)};
}

Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class DeviceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(fakeusb::OpenHandles(), 0) << "a handle was leaked";
    EXPECT_EQ(fakeusb::DirtyBuffers(), 0) << "a reply buffer was not cleared";
  }
};

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
  configRefused.configResult = -EIO;
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

// A folder laid out like /dev/bus/usb with plain files for nodes, which the
// USB library is told to scan; another program's hold on a node's lock.
class TurnTest : public DeviceTest {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velorin-turn-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    std::filesystem::create_directories(folder_ / "001");
    ::setenv("USB_DEVFS_PATH", folder_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("USB_DEVFS_PATH");
    if (holder_ >= 0) ::close(holder_);
    std::filesystem::remove_all(folder_);
    DeviceTest::TearDown();
  }
  std::string Node(mode_t mode) {
    const std::string path = (folder_ / "001" / "001").string();
    ::close(::open(path.c_str(), O_RDWR | O_CREAT, 0600));
    ::chmod(path.c_str(), mode);
    return path;
  }
  bool LockFree(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
  }
  void Hold(const std::string& path) {
    holder_ = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder_, LOCK_EX | LOCK_NB), 0);
  }
  std::filesystem::path folder_;
  int holder_ = -1;
};

// Who can open a node for reading must be able to write it too, or the lock
// is not trusted to hold anyone in line.
TEST(TurnRulesTest, OnlyThoseWhoMayWriteCanLock) {
  // An access list: version 2, then tag, permissions, id (little-endian).
  const auto acl = [](std::initializer_list<std::pair<int, int>> entries) {
    std::string text("\x02\0\0\0", 4);
    for (auto [tag, perm] : entries) text += std::string{char(tag), 0, char(perm), 0, 1, 0, 0, 0};
    return text;
  };
  struct Case {
    const char* what;
    unsigned mode;
    std::string acl;
    bool guarded;
  };
  const std::vector<Case> cases = {
      {"0660, the installed rule's", 0660, "", true},
      {"0666: anyone may use it anyway", 0666, "", true},
      {"0664, Debian's default", 0664, "", false},
      {"0640", 0640, "", false},
      {"uaccess: user rw, mask rw", 0660, acl({{1, 6}, {2, 6}, {4, 6}, {0x10, 6}, {0x20, 0}}), true},
      {"a user with read only", 0660, acl({{1, 6}, {2, 4}, {4, 6}, {0x10, 6}, {0x20, 0}}), false},
      {"the mask takes write away", 0640, acl({{1, 6}, {2, 6}, {4, 6}, {0x10, 4}, {0x20, 0}}), false},
      {"others read only in the list", 0660, acl({{1, 6}, {4, 6}, {0x20, 4}}), false},
      {"a list not understood", 0660, std::string("\x01\0\0\0", 4), false},
      {"a cut list", 0660, std::string("\x02\0\0\0\x01", 5), false},
  };
  for (const Case& c : cases) EXPECT_EQ(velorin::OnlyUsersCanLock(c.mode, c.acl), c.guarded) << c.what;
}

TEST_F(TurnTest, WaitsInLineBoundedAndTouchesOnlyNodes) {
  struct Case {
    const char* what;
    std::string path;
    bool held;
    int releaseAfterMs;  // the holder lets go after this long; 0: never
    int waitMs;
    velorin::TTurnOutcome outcome;
    int atLeastMs, belowMs;  // a bound only for a loaded machine
  };
  using velorin::TTurnOutcome;
  ::mkfifo((folder_ / "fifo").c_str(), 0600);
  const std::string trusted = Node(0600);
  // clang-format off
  const std::vector<Case> cases = {
      {"free", trusted, false, 0, 60000, TTurnOutcome::Taken, 0, 30000},
      {"its turn comes", trusted, true, 300, 60000, TTurnOutcome::Taken, 300, 30000},
      {"not its turn in time", trusted, true, 0, 400, TTurnOutcome::TooLong, 400, 30000},
      {"lockable by those who cannot use it: 2 s, then ahead", "0644", true, 0, 60000, TTurnOutcome::NoLine, 2000, 30000},
      {"no node", (folder_ / "none").string(), false, 0, 60000, TTurnOutcome::NoLine, 0, 30000},
      {"a FIFO is not opened", (folder_ / "fifo").string(), false, 0, 60000, TTurnOutcome::NoLine, 0, 30000},
      {"a device that is no switch", "/dev/null", false, 0, 60000, TTurnOutcome::NoLine, 0, 30000},
  };
  // clang-format on
  for (Case c : cases) {
    if (c.path == "0644") c.path = Node(0644);
    if (c.held) Hold(c.path);
    const auto start = std::chrono::steady_clock::now();
    std::thread release;
    if (c.releaseAfterMs > 0) {
      release = std::thread([this, ms = c.releaseAfterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        ::close(holder_);
        holder_ = -1;
      });
    }
    velorin::TSwitchTurn turn;
    EXPECT_EQ(turn.Take(c.path, "here", c.waitMs), c.outcome) << c.what;
    const auto waited = std::chrono::steady_clock::now() - start;
    if (release.joinable()) release.join();
    EXPECT_GE(waited, std::chrono::milliseconds(c.atLeastMs)) << c.what;
    EXPECT_LT(waited, std::chrono::milliseconds(c.belowMs)) << c.what;
    EXPECT_EQ(turn.Held(), c.outcome == TTurnOutcome::Taken) << c.what;
    if (holder_ >= 0) ::close(holder_);
    holder_ = -1;
    turn.Release();
    if (c.outcome == TTurnOutcome::Taken) {
      EXPECT_TRUE(LockFree(c.path)) << c.what << ": released";
    }
  }
}

// The turn is held from the moment the switch was found until it is closed,
// and a switch that is given up is given up with its turn.
TEST_F(TurnTest, TheTurnLastsUntilTheSwitchIsClosed) {
  const std::string node = Node(0600);
  fakeusb::Reset({{Switch("A1")}});
  TVelorin connection;
  ASSERT_TRUE(connection.Open("A1"));
  EXPECT_FALSE(LockFree(node));
  connection.Close();
  EXPECT_TRUE(LockFree(node));

  fakeusb::Device old = Switch("A1");
  old.version[1] = 2;
  fakeusb::Device unclaimable = Switch("A1");
  unclaimable.claimResult = -EIO;
  for (const fakeusb::Device& device : {old, unclaimable}) {
    fakeusb::Reset({{device}});
    EXPECT_FALSE(connection.Open("A1"));
    EXPECT_TRUE(LockFree(node));
  }
}

// The lock goes with a moved turn, and a turn moved onto a held one releases
// the lock that one held.
TEST_F(TurnTest, ATurnMovesWithItsLock) {
  const std::string first = Node(0600);
  const std::string second = (folder_ / "001" / "002").string();
  ::close(::open(second.c_str(), O_RDWR | O_CREAT, 0600));
  velorin::TSwitchTurn turn, other;
  ASSERT_EQ(turn.Take(first, "here"), velorin::TTurnOutcome::Taken);
  ASSERT_EQ(other.Take(second, "here"), velorin::TTurnOutcome::Taken);
  velorin::TSwitchTurn moved(std::move(turn));
  EXPECT_FALSE(turn.Held());
  EXPECT_FALSE(LockFree(first));
  other = std::move(moved);
  EXPECT_TRUE(LockFree(second));
  EXPECT_FALSE(LockFree(first));
  other.Release();
  EXPECT_TRUE(LockFree(first));
}

// A serial read that timed out (a switch busy with the commands ahead) is
// asked again once the line has come to this command; the turn is kept only
// for the asked switch.
TEST_F(TurnTest, ASerialReadThatTimedOutIsAskedAgainInItsTurn) {
  struct Case {
    const char* what;
    fakeusb::Device device;
    bool taken;
  };
  fakeusb::Device same = Switch("A1");
  same.slowSerial = 1;
  fakeusb::Device other = Switch("B2");
  other.slowSerial = 1;
  fakeusb::Device stalled = Switch("A1");
  stalled.slowSerial = 2;
  const std::vector<Case> cases = {
      {"the asked switch", same, true},
      {"another switch", other, false},
      {"timed out again", stalled, false},
  };
  const std::string node = Node(0600);
  for (const Case& c : cases) {
    fakeusb::Reset({{c.device}});
    Hold(node);
    const auto start = std::chrono::steady_clock::now();
    std::thread release([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ::close(holder_);
      holder_ = -1;
    });
    TVelorin connection;
    EXPECT_EQ(connection.Open("A1"), c.taken) << c.what;
    const auto waited = std::chrono::steady_clock::now() - start;
    release.join();
    EXPECT_GE(waited, std::chrono::milliseconds(300)) << c.what << ": it waited in line";
    const Calls reads = {"open 1.1", "string 1.1 3", "string 1.1 3"};
    ASSERT_GE(fakeusb::Calls().size(), kScan.size() + reads.size()) << c.what;
    EXPECT_TRUE(std::equal(reads.begin(), reads.end(), fakeusb::Calls().begin() + kScan.size())) << c.what;
    EXPECT_EQ(LockFree(node), !c.taken) << c.what;
    connection.Close();
    EXPECT_TRUE(LockFree(node)) << c.what;
  }
}
