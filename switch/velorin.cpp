// Finding and taking one switch among the devices the USB library lists, one
// step at a time, and the control requests sent to it.
#include "velorin.h"

#include <usb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>

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

// The serial-number string, or nullopt with the reason said. A switch busy
// with a queue's commands can be too slow to answer a crowd's serial reads:
// a read that timed out is asked again in this command's turn (PLACE) in
// the switch's LINE, or at once when the caller holds the turn already (not
// TAKE_TURN).
std::optional<std::string> ReadSerial(usb_dev_handle* handle, const TUsbNode& node, const std::string& line,
                                      bool takeTurn, TSwitchTurn& turn, std::optional<TTurnOutcome>& place) {
  const std::string where = Label(node);
  int result = 0;
  std::optional<std::string> serial = ReadSerialString(handle, result);
  if (!serial && result == kUsbTimedOut) {
    Diagnose({where, ": serial number read timed out; asking again in its turn"});
    if (takeTurn) place = turn.Take(line, where);
    if (place == TTurnOutcome::TooLong) return std::nullopt;  // said by Take
    serial = ReadSerialString(handle, result);
  }
  if (!serial) Diagnose({where, ": serial number cannot be read: ", AccessErrorText(result, node)});
  return serial;
}

// Configures and claims the switch, waiting a while for another program
// that holds it; false, with the reason said, when it cannot.
bool Claim(usb_dev_handle* handle, const std::string& where) {
  int result = RetryWhileBusy([handle] { return usb_set_configuration(handle, kConfiguration); });
  if (result == 0) result = RetryWhileBusy([handle] { return usb_claim_interface(handle, kInterface); });
  if (result == kUsbBusy) {
    Diagnose({where, ": busy for longer than ", std::to_string(kBusyRetryMs / 1000), " s (another program holds it)"});
  } else if (result != 0) {
    Diagnose({where, ": cannot be configured or claimed: ", UsbErrorText(result)});
  }
  return result == 0;
}

}  // namespace

void TVelorin::TCloseDevice::operator()(usb_dev_handle* handle) const { usb_close(handle); }

bool TVelorin::TakeDevice(struct usb_device* device, const TUsbNode& node, const std::string& wanted) {
  const std::string where = Label(node);
  Diagnose({where, ": a switch (", kUsbIdText, ")"});
  // Declared first, so that a switch given up is closed before its turn ends.
  TSwitchTurn turn;
  errno = 0;
  std::unique_ptr<usb_dev_handle, TCloseDevice> handle(usb_open(device));
  if (handle == nullptr) {
    Diagnose({where, ": cannot be opened: ", AccessErrorText(-errno, node)});
    return false;
  }
  const std::string line = TurnLine(device, node);
  std::optional<TTurnOutcome> place;  // set once this command has been in line
  const std::optional<std::string> serial =
      CheckSerial ? ReadSerial(handle.get(), node, line, TakeTurn, turn, place) : wanted;
  if (!serial) return false;
  if (*serial != wanted) {
    Diagnose({where, ": serial number differs"});
    return false;
  }
  if (!place && TakeTurn) place = turn.Take(line, where);
  if (place == TTurnOutcome::TooLong || !Claim(handle.get(), where)) return false;  // TooLong said by Take
  Turn = std::move(turn);
  Handle = std::move(handle);
  Location = where;
  return true;
}

bool TVelorin::Open(const std::string& serial) {
  const std::string wanted = serial.empty() ? SerialNumber : serial;
  return wanted.empty() || OpenListed(wanted, std::nullopt, true);
}

bool TVelorin::OpenAt(const TUsbNode& node, const std::string& serial) {
  if (serial.empty()) return false;
  bool listed = false;
  for (usb_bus* bus = usb_get_busses(); bus != nullptr && !listed; bus = bus->next) {
    for (struct usb_device* device = bus->devices; device != nullptr; device = device->next) {
      if (IsSwitch(device) && NodeOf(device) == node) listed = true;
    }
  }
  // The list may be stale (a switch gone, another at its number): scan again.
  return (listed && OpenListed(serial, node, false)) || OpenListed(serial, node, true);
}

bool TVelorin::OpenListed(const std::string& wanted, const std::optional<TUsbNode>& only, bool scan) {
  Close();
  SerialNumber = wanted;

  PrepareUsbScan();
  if (scan) {
    usb_init();
    usb_find_busses();
    usb_find_devices();
  }
  std::set<TUsbNode> listed;
  for (usb_bus* bus = usb_get_busses(); bus != nullptr && Handle == nullptr; bus = bus->next) {
    for (struct usb_device* device = bus->devices; device != nullptr && Handle == nullptr; device = device->next) {
      if (!IsSwitch(device)) continue;
      const TUsbNode node = NodeOf(device);
      if (only && node != *only) continue;
      listed.insert(node);
      TakeDevice(device, node, wanted);
    }
  }
  if (Handle == nullptr) {
    DiagnoseNoSwitchTaken(listed, wanted);
    return false;
  }
  const TSwitchVersion version = Version = GetVersion();
  if (version.Major != kSupportedMajor) {
    Diagnose({Location, ": firmware version ", std::to_string(version.Major), ".", std::to_string(version.Minor),
              " not supported"});
    Close();
    return false;
  }
  const std::uint8_t kind = Kind = GetKind();
  if (kind != kKindPlain && kind != kKindNamed) {
    Diagnose({Location, ": kind ", std::to_string(kind), " not supported"});
    Close();
    return false;
  }
  if (StateOnOpen < 2) SetState(StateOnOpen != 0);
  return true;
}

void TVelorin::Rest() {
  if (Handle != nullptr) usb_release_interface(Handle.get(), kInterface);
  Turn.Release();
}

bool TVelorin::Resume() {
  if (Handle == nullptr) return false;
  if (const int result = RetryWhileBusy([this] { return usb_claim_interface(Handle.get(), kInterface); });
      result != 0) {
    Diagnose({Location, ": cannot be claimed: ", UsbErrorText(result)});
    return false;
  }
  return true;
}

void TVelorin::Close() {
  if (StateOnClose < 2) SetState(StateOnClose != 0);
  Handle.reset();
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
  return ReadName();
}

std::string TVelorin::ReadName() {
  if (Handle == nullptr) return {};
  char reply[kNameLength + 1] = {};  // the extra zero ends a name of exactly 32 bytes
  SendControl(kRequestGetName, 0, 0, reply, kNameLength);
  return std::string(reply, strnlen(reply, kNameLength));
}

int TVelorin::SendControl(int request, int value, int index, char* buffer, int length) {
  const int result = usb_control_msg(Handle.get(), kRequestType, request, value, index, buffer, length, kTimeoutMs);
  if (result < 0) {
    Diagnose({Location, ": transfer failed: request ", std::to_string(request), ": ", UsbErrorText(result)});
  }
  return result;
}
