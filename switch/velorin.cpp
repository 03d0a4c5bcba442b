#include "velorin.h"

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
#include "platform.h"
#include "protocol.h"
#include "usb_node.h"

using namespace velorin;

namespace {

// Runs one set-up step again while another process holds the switch,
// until the retry window has passed. Any other result ends at once.
template <typename Step>
int RetryWhileBusy(Step step) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyRetryMs);
  int result = step();
  while (result == kUsbBusy && std::chrono::steady_clock::now() < deadline) {
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

// Opens the device and takes it when it is the wanted switch, its turn has
// come (TURN holds it from then on) and it can be configured and claimed;
// nullptr otherwise, with the reason diagnosed.
usb_dev_handle* TakeDevice(struct usb_device* device, const TUsbNode& node, const std::string& wanted, bool checkSerial,
                           TSwitchTurn& turn) {
  const std::string where = Label(node);
  Diagnose({where, ": a switch (", kUsbIdText, ")"});
  errno = 0;
  usb_dev_handle* handle = usb_open(device);
  if (handle == nullptr) {
    Diagnose({where, ": cannot be opened: ", AccessErrorText(-errno, node)});
    return nullptr;
  }
  int result = 0;
  std::optional<std::string> serial = checkSerial ? ReadSerialString(handle, result) : wanted;
  // A switch busy with a queue's commands can be too slow to answer a
  // crowd's serial reads in time: ask it again in this command's turn, when
  // the commands ahead are done with it.
  std::optional<TTurnOutcome> place;  // set once this command has been in line
  if (!serial && result == kUsbTimedOut) {
    Diagnose({where, ": serial number read timed out; asking again in its turn"});
    place = turn.Take(TurnLine(device, node), where);
    if (*place != TTurnOutcome::TooLong) serial = ReadSerialString(handle, result);
  }
  if (place == TTurnOutcome::TooLong) {
    // said by Take
  } else if (!serial) {
    Diagnose({where, ": serial number cannot be read: ", AccessErrorText(result, node)});
  } else if (*serial != wanted) {
    Diagnose({where, ": serial number differs"});
  } else if (!place && turn.Take(TurnLine(device, node), where) == TTurnOutcome::TooLong) {
    // said by Take
  } else if ((result = RetryWhileBusy([handle] { return usb_set_configuration(handle, kConfiguration); })) != 0 ||
             (result = RetryWhileBusy([handle] { return usb_claim_interface(handle, kInterface); })) != 0) {
    if (result == kUsbBusy) {
      Diagnose(
          {where, ": busy for longer than ", std::to_string(kBusyRetryMs / 1000), " s (another program holds it)"});
    } else {
      Diagnose({where, ": cannot be configured or claimed: ", UsbErrorText(result)});
    }
  } else {
    return handle;
  }
  usb_close(handle);
  turn.Release();
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

  PrepareUsbScan();
  if (!ListedBefore) {
    usb_init();
    usb_find_busses();
    usb_find_devices();
  }
  std::set<TUsbNode> listed;
  for (usb_bus* bus = usb_get_busses(); bus != nullptr && Handle == nullptr; bus = bus->next) {
    for (struct usb_device* device = bus->devices; device != nullptr && Handle == nullptr; device = device->next) {
      if (!IsSwitch(device)) continue;
      const TUsbNode node = NodeOf(device);
      if (OnlyAt && node != *OnlyAt) continue;
      listed.insert(node);
      Handle = TakeDevice(device, node, wanted, CheckSerial, Turn);
      if (Handle != nullptr) Location = Label(node);
    }
  }
  if (Handle == nullptr) {
    DiagnoseNoSwitchTaken(listed, wanted);
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

bool TVelorin::OpenAt(const TUsbNode& node, const std::string& serial) {
  if (serial.empty()) return false;
  OnlyAt = node;
  ListedBefore = false;
  for (usb_bus* bus = usb_get_busses(); bus != nullptr && !ListedBefore; bus = bus->next) {
    for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
      if (IsSwitch(device) && NodeOf(device) == node) ListedBefore = true;
    }
  }
  bool opened = Open(serial);
  if (!opened && ListedBefore) {
    // The list may be stale (a switch gone, another at its number): scan again.
    ListedBefore = false;
    opened = Open(serial);
  }
  ListedBefore = false;
  OnlyAt.reset();
  return opened;
}

void TVelorin::Close() {
  if (StateOnClose < 2) SetState(StateOnClose != 0);
  if (Handle != nullptr) usb_close(Handle);
  Handle = nullptr;
  Turn.Release();
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
    Diagnose({Location, ": transfer failed: request ", std::to_string(request), ": ", UsbErrorText(result)});
  }
  return result;
}
