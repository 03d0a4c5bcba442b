// A scripted stand-in for the libusb 0.1 library: busses of simulated
// switches that answer the tool's requests and a record of every call made.
//
// Tests in this process script it through Reset(); a program started by a
// test (with this library first on LD_LIBRARY_PATH) reads the scenario file
// named by FAKEUSB_SCENARIO and appends each call to the file FAKEUSB_LOG;
// with FAKEUSB_STATE naming a folder, each switch's state is kept there from
// one program to the next, and a claimed switch is busy for the others.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fakeusb {

struct Device {
  std::uint16_t vendor = 0x16C0;
  std::uint16_t product = 0x2823;
  std::optional<std::string> serial;       // none: string 3 cannot be read
  std::uint8_t version[4] = {0, 1, 0, 0};  // minor, major, aux low, aux high
  std::uint8_t kind = 1;
  std::string name;
  bool on = false;
  bool openFails = false;
  int failOpens = 0;  // key failopens: this many opens fail first (as before udev gives access)
  int configResult = 0;
  int claimResult = 0;
  int busyConfig = 0;  // this many set_configuration calls return -EBUSY first
  int busyClaim = 0;
  int slowSerial = 0;              // this many serial reads time out first
  int answerMs = 0;                // each request is answered after this many milliseconds
  std::map<int, int> failRequest;  // request -> result, reply left untouched
};

using Bus = std::vector<Device>;

// A well-behaved switch with this serial number, kind, name and state.
Device Switch(const std::string& serial, int kind = 1, const std::string& name = "", bool on = false);

void Reset(const std::vector<Bus>& busses);
// Each call as "open 1.2", "control 1.2 c0 5 0 0 8 1000", ... (bus.device).
const std::vector<std::string>& Calls();
Device& At(int bus, int device);  // 1-based, as in the call record
int OpenHandles();
// Calls whose reply buffer was not all zero when it reached the switch.
int DirtyBuffers();

// Scenario file: one device per line, space-separated key=value fields
// (bus, serial, noserial, version=M.m, kind, name, on, vendor, product,
// open=fail, config, claim, busyconfig, busyclaim, slowserial, answerms,
// failN=result); "\xHH" in a value stands for that byte.
std::vector<Bus> ParseScenario(const std::string& text);

}  // namespace fakeusb
