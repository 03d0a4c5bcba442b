#include "velorin.h"

#include <fcntl.h>
#include <unistd.h>
#include <usb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "diagnostics.h"
#include "installed_record.h"
#include "protocol.h"

using namespace velorin;

namespace {

// Runs one set-up step again while another process holds the switch (EBUSY),
// until the retry window has passed. Any other result ends at once.
template <typename Step>
int RetryWhileBusy(Step step) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyRetryMs);
  int result = step();
  while (result == -EBUSY && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyPollMs));
    result = step();
  }
  return result;
}

// The serial-number string, or nullopt (with the error) when it cannot be read.
std::optional<std::string> ReadSerialString(usb_dev_handle* handle, int& error) {
  char buffer[kSerialBufferLength] = {};
  error = usb_get_string_simple(handle, kSerialStringIndex, buffer, sizeof buffer);
  if (error < 0) return std::nullopt;
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

bool IsSwitch(const struct usb_device* device) {
  return device->descriptor.idVendor == kVendorId && device->descriptor.idProduct == kProductId;
}

// The names the library gives bus and device ("001", "002"), as lsusb shows them.
std::string LocationOf(const struct usb_device* device) {
  return std::string("bus ") + device->bus->dirname + " device " + device->filename;
}

std::string ErrorText(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

// The error text, and for a denied access what the user lacks and which node.
std::string AccessText(int error, const std::string& bus, const std::string& device) {
  std::string text = ErrorText(error);
  if (error == EACCES || error == EPERM) {
    text += "; the user needs the group plugdev or a local seat session for /dev/bus/usb/" + bus + "/" + device;
  }
  return text;
}

// The library lists only the devices whose node it could open, so a switch
// this user may not open is missing from its list. For the diagnostics, such
// switches are found in sysfs and their nodes opened here, for the reason.
// Returns how many there were.
int DiagnoseUnlistedSwitches(const std::set<std::string>& listed) {
  int count = 0;
  for (const std::string& folder : SwitchFolders(kUsbDevicesFolder)) {
    const std::optional<std::string> busnum = ReadAttribute(folder, "busnum");
    const std::optional<std::string> devnum = ReadAttribute(folder, "devnum");
    if (!busnum || !devnum) continue;
    char bus[16], device[16];
    std::snprintf(bus, sizeof bus, "%03d", std::atoi(busnum->c_str()));
    std::snprintf(device, sizeof device, "%03d", std::atoi(devnum->c_str()));
    const std::string where = std::string("bus ") + bus + " device " + device;
    if (listed.count(where) != 0) continue;
    ++count;
    Diagnose({where, ": a switch (16c0:2823)"});
    const std::string node = std::string("/dev/bus/usb/") + bus + "/" + device;
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      Diagnose({where, ": cannot be opened: ", AccessText(errno, bus, device)});
    } else {
      ::close(fd);
      Diagnose({where, ": not listed by the USB library"});
    }
  }
  return count;
}

// Opens the device and takes it when it is the wanted switch and can be
// configured and claimed; nullptr otherwise, with the reason diagnosed.
usb_dev_handle* TakeDevice(struct usb_device* device, const std::string& wanted, bool checkSerial) {
  const std::string where = LocationOf(device);
  Diagnose({where, ": a switch (16c0:2823)"});
  errno = 0;
  usb_dev_handle* handle = usb_open(device);
  if (handle == nullptr) {
    Diagnose({where, ": cannot be opened: ", AccessText(errno, device->bus->dirname, device->filename)});
    return nullptr;
  }
  int result = 0;
  const std::optional<std::string> serial = checkSerial ? ReadSerialString(handle, result) : wanted;
  if (!serial) {
    Diagnose({where, ": serial number cannot be read: ", AccessText(-result, device->bus->dirname, device->filename)});
  } else if (*serial != wanted) {
    Diagnose({where, ": serial number differs"});
  } else if ((result = RetryWhileBusy([handle] { return usb_set_configuration(handle, kConfiguration); })) != 0 ||
             (result = RetryWhileBusy([handle] { return usb_claim_interface(handle, kInterface); })) != 0) {
    if (result == -EBUSY) {
      Diagnose({where, ": busy for longer than ", std::to_string(kBusyRetryMs / 1000), " s (another program holds it)"});
    } else {
      Diagnose({where, ": cannot be configured or claimed: ", ErrorText(-result)});
    }
  } else {
    return handle;
  }
  usb_close(handle);
  return nullptr;
}

}  // namespace

TVelorin::~TVelorin() {
  if (Handle != nullptr) usb_close(Handle);
}

bool TVelorin::Open(const std::string& serial) {
  const std::string wanted = serial.empty() ? SerialNumber : serial;
  if (wanted.empty()) return true;

  Close();
  SerialNumber = wanted;

  usb_init();
  usb_find_busses();
  usb_find_devices();
  std::set<std::string> listed;
  for (usb_bus* bus = usb_get_busses(); bus != nullptr && Handle == nullptr; bus = bus->next) {
    for (struct usb_device* device = bus->devices; device != nullptr && Handle == nullptr; device = device->next) {
      if (!IsSwitch(device)) continue;
      listed.insert(LocationOf(device));
      Handle = TakeDevice(device, wanted, CheckSerial);
      if (Handle != nullptr) Location = LocationOf(device);
    }
  }
  if (Handle == nullptr) {
    const bool anySwitch = !listed.empty() || (DiagnosticsWanted() && DiagnoseUnlistedSwitches(listed) > 0);
    if (anySwitch) {
      Diagnose({"no usable switch has the serial number ", Showable(wanted)});
    } else {
      Diagnose({"no switch (16c0:2823) is attached"});
    }
    return false;
  }

  const TSwitchVersion version = GetVersion();
  if (version.Major != kSupportedMajor) {
    Diagnose({Location, ": firmware version ", std::to_string(version.Major), ".", std::to_string(version.Minor),
              " not supported"});
    Close();
    return false;
  }
  const std::uint8_t kind = GetKind();
  if (kind != kKindPlain && kind != kKindNamed) {
    Diagnose({Location, ": kind ", std::to_string(kind), " not supported"});
    Close();
    return false;
  }
  if (StateOnOpen < 2) SetState(StateOnOpen != 0);
  return true;
}

void TVelorin::Close() {
  if (StateOnClose < 2) SetState(StateOnClose != 0);
  if (Handle != nullptr) usb_close(Handle);
  Handle = nullptr;
}

std::optional<bool> TVelorin::GetState() {
  if (Handle == nullptr) return std::nullopt;
  char reply[kReplyLength] = {};
  const int result = SendControl(kRequestGetState, 0, 0, reply, sizeof reply);
  if (result == 0) Diagnose({Location, ": state reply empty"});
  if (result < 1) return std::nullopt;
  return (reply[0] & 1) != 0;
}

bool TVelorin::SetState(bool on) {
  if (Handle == nullptr) return false;
  char reply[kReplyLength] = {};
  return SendControl(kRequestSetState, on ? 1 : 0, 0, reply, sizeof reply) >= 0;
}

TSwitchVersion TVelorin::GetVersion() {
  TSwitchVersion version;
  if (Handle == nullptr) return version;
  unsigned char reply[kReplyLength] = {};
  SendControl(kRequestGetVersion, 0, 0, reinterpret_cast<char*>(reply), sizeof reply);
  version.Minor = reply[0];
  version.Major = reply[1];
  version.Aux = static_cast<std::uint16_t>(reply[2] | (reply[3] << 8));
  return version;
}

std::uint8_t TVelorin::GetKind() {
  if (Handle == nullptr) return 0;
  char reply[kReplyLength] = {};
  SendControl(kRequestGetKind, 0, 0, reply, sizeof reply);
  return static_cast<std::uint8_t>(reply[0]);
}

std::string TVelorin::GetName() {
  if (Handle == nullptr || GetKind() != kKindNamed) return {};
  char reply[kNameLength + 1] = {};  // the extra zero ends a name of exactly 32 bytes
  SendControl(kRequestGetName, 0, 0, reply, kNameLength);
  return std::string(reply, strnlen(reply, kNameLength));
}

int TVelorin::SendControl(int request, int value, int index, char* buffer, int length) {
  const int result = usb_control_msg(Handle, kRequestType, request, value, index, buffer, length, kTimeoutMs);
  if (result < 0) {
    Diagnose({Location, ": transfer failed: request ", std::to_string(request), ": ", ErrorText(-result)});
  }
  return result;
}
