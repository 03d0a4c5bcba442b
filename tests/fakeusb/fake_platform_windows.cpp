#include <windows.h>

#include <cstdio>

#include "fake_platform.h"

namespace fakeusb {

const int kBusy = -5;
const int kTimedOut = -116;

std::intptr_t TakeClaim(const std::string& path, bool& busy) {
  busy = false;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kNoClaim;
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    CloseHandle(file);
    busy = true;
    return kNoClaim;
  }
  return reinterpret_cast<std::intptr_t>(file);
}

void DropClaim(std::intptr_t claim) {
  if (claim != kNoClaim) CloseHandle(reinterpret_cast<HANDLE>(claim));
}

// As libusb-win32 names them: one name pattern for every bus, and each
// device after the driver's device object.
std::string BusName(int bus) { return "bus-" + std::to_string(bus - 1); }

std::string DeviceName(int, int ordinal, int vendor, int product) {
  char name[64];
  std::snprintf(name, sizeof name, "\\\\.\\libusb0-%04d--0x%04x-0x%04x", ordinal, vendor, product);
  return name;
}

void DenyOpen() { SetLastError(ERROR_ACCESS_DENIED); }

// As libusb-win32 says it: the call, then Windows' own text for the error
// the driver met.
std::string FailureText(const std::string& call, int result) {
  DWORD code = ERROR_GEN_FAILURE;
  if (result == kBusy) code = ERROR_BUSY;
  if (result == kTimedOut) code = ERROR_SEM_TIMEOUT;
  if (result == 0) code = GetLastError();
  char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  return call + ": win error: " + std::string(text, length);
}

}  // namespace fakeusb
