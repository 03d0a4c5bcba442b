#include "velorin.h"

#include <usb.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

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

// A string that cannot be read counts as empty.
std::string ReadSerialString(usb_dev_handle* handle) {
  char buffer[kSerialBufferLength] = {};
  const int length = usb_get_string_simple(handle, kSerialStringIndex, buffer, sizeof buffer);
  if (length < 0) return {};
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

bool IsSwitch(const struct usb_device* device) {
  return device->descriptor.idVendor == kVendorId && device->descriptor.idProduct == kProductId;
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
  for (usb_bus* bus = usb_get_busses(); bus != nullptr && Handle == nullptr; bus = bus->next) {
    for (struct usb_device* device = bus->devices; device != nullptr && Handle == nullptr; device = device->next) {
      if (!IsSwitch(device)) continue;
      usb_dev_handle* handle = usb_open(device);
      if (handle == nullptr) continue;
      const bool accepted =
          (!CheckSerial || ReadSerialString(handle) == wanted) &&
          RetryWhileBusy([handle] { return usb_set_configuration(handle, kConfiguration); }) == 0 &&
          RetryWhileBusy([handle] { return usb_claim_interface(handle, kInterface); }) == 0;
      if (accepted) {
        Handle = handle;
      } else {
        usb_close(handle);
      }
    }
  }
  if (Handle == nullptr) return false;

  if (GetVersion().Major != kSupportedMajor) {
    Close();
    return false;
  }
  const std::uint8_t kind = GetKind();
  if (kind != kKindPlain && kind != kKindNamed) {
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
  if (SendControl(kRequestGetState, 0, 0, reply, sizeof reply) < 1) return std::nullopt;
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
  return usb_control_msg(Handle, kRequestType, request, value, index, buffer, length, kTimeoutMs);
}
