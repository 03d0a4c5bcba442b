// The fake bus's call record as the switch tests read it: the calls of a
// scan, of taking a switch, and control requests, joined in order; and the
// fixture that checks no handle or dirty reply buffer is left behind.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "fake_usb.h"

using Calls = std::vector<std::string>;

inline std::string Control(const std::string& id, int request, int value = 0, int length = 8) {
  return "control " + id + " c0 " + std::to_string(request) + " " + std::to_string(value) + " 0 " +
         std::to_string(length) + " 1000";
}

inline const Calls kScan = {"init", "find_busses", "find_devices", "get_busses"};

// The calls a successful Open makes on one device after the scan.
inline Calls Accept(const std::string& id) {
  return {"open " + id,         "string " + id + " 3", "config " + id + " 1",
          "claim " + id + " 0", Control(id, 4),        Control(id, 5)};
}

inline Calls Join(std::initializer_list<Calls> parts) {
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
