// Commands on one switch take turns on Linux: the lock on the switch's node,
// who may hold it, and how long a command waits in line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
