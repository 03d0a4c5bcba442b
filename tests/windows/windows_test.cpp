// The Windows side of the seam: the turns at a switch (a named mutex) and
// the names the diagnostics and the turns give a libusb-win32 device.
#include <gtest/gtest.h>
#include <usb.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform.h"
#include "switch_turn.h"

using velorin::TSwitchTurn;
using velorin::TTurnOutcome;

namespace {

// Another program's command, on a thread of its own (a mutex belongs to a
// thread): owns the line's mutex for HOLD_MS, then releases it, or with
// RELEASE false ends without releasing it.
std::thread Holder(const std::string& line, int holdMs, bool release, std::promise<void>& holding) {
  return std::thread([line, holdMs, release, &holding] {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, line.c_str());
    holding.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    if (release) ReleaseMutex(mutex);
    CloseHandle(mutex);
  });
}

}  // namespace

TEST(WindowsTurnTest, CommandsOnOneSwitchTakeTurns) {
  struct Case {
    const char* what;
    int holdMs;    // how long the other command holds the line; 0: nobody does
    bool release;  // false: it ends without releasing
    int waitMs;
    TTurnOutcome outcome;
  };
  const std::vector<Case> cases = {
      {"a free line", 0, true, 100, TTurnOutcome::Taken},
      {"held past the wait", 1000, true, 100, TTurnOutcome::TooLong},
      {"released within the wait", 100, true, 20000, TTurnOutcome::Taken},
      {"its holder ended without releasing it", 100, false, 20000, TTurnOutcome::Taken},
  };
  int number = 0;
  for (const Case& c : cases) {
    const std::string line =
        "Local\\velorin-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++number);
    std::promise<void> holding;
    std::thread holder;
    if (c.holdMs > 0) {
      holder = Holder(line, c.holdMs, c.release, holding);
      holding.get_future().wait();
    }
    TSwitchTurn turn;
    EXPECT_EQ(turn.Take(line, "test", c.waitMs), c.outcome) << c.what;
    EXPECT_EQ(turn.Held(), c.outcome == TTurnOutcome::Taken) << c.what;
    turn.Release();
    EXPECT_FALSE(turn.Held()) << c.what;
    if (holder.joinable()) holder.join();
  }
}

TEST(WindowsUsbTest, DevicesAreNamedByTheirPlaceAndTheDriversName) {
  usb_bus busses[2] = {};
  usb_device devices[2] = {};
  busses[0].next = &busses[1];
  busses[1].prev = &busses[0];
  devices[0].next = &devices[1];
  devices[1].prev = &devices[0];
  devices[0].bus = devices[1].bus = &busses[1];
  const std::string driverName = "\\\\.\\libusb0-0007--0x16c0-0x2823";
  driverName.copy(devices[1].filename, sizeof devices[1].filename - 1);

  const velorin::TUsbNode node = velorin::NodeOf(&devices[1]);
  EXPECT_EQ(velorin::Label(node), "bus 002 device 002");
  // One machine-wide line per switch; a mutex name holds no backslash after
  // its namespace's.
  EXPECT_EQ(velorin::TurnLine(&devices[1], node), "Global\\velorin-switch-//./libusb0-0007--0x16c0-0x2823");
}
