// What the fake bus does differently on Linux (fake_platform_posix.cpp) and
// as libusb-win32's libusb0.dll (fake_platform_windows.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace fakeusb {

// The library's results for a switch another program holds and a time-out.
extern const int kBusy;
extern const int kTimedOut;

inline constexpr std::intptr_t kNoClaim = -1;

// Locks the claim file at PATH without waiting, as the kernel's (or the
// driver's) claim on an interface: kNoClaim with BUSY set when another
// program holds it, kNoClaim alone when the file cannot be opened.
std::intptr_t TakeClaim(const std::string& path, bool& busy);
void DropClaim(std::intptr_t claim);

// The library's names: a bus's by its number (1, 2, ...), a device's by its
// number on the bus, its number among all devices and its USB id.
std::string BusName(int bus);
std::string DeviceName(int device, int ordinal, int vendor, int product);

// Makes usb_open fail as for a device the user may not open.
void DenyOpen();

// What usb_strerror says after CALL failed with RESULT.
std::string FailureText(const std::string& call, int result);

}  // namespace fakeusb
