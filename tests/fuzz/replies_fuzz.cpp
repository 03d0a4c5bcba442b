// Whatever a device may answer, through the switch, query and list commands:
// every library call takes its result and reply bytes from the fuzz input.
// Checks that no handle leaks and that a failed state transfer never counts
// as success.
#include <fuzzer/FuzzedDataProvider.h>
#include <usb.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "commands.h"
#include "inventory.h"
#include "listings.h"

struct usb_dev_handle {
  int unused;
};

namespace {

FuzzedDataProvider* input = nullptr;
std::deque<usb_bus> busses;
std::deque<struct usb_device> devices;
int openHandles = 0;
int lastSetState = 0;  // the result of the last set-state transfer
int lastGetState = 0;

int Result(std::initializer_list<int> choices) {
  const std::size_t pick = input->ConsumeIntegralInRange<std::size_t>(0, choices.size() - 1);
  return *(choices.begin() + pick);
}

}  // namespace

extern "C" {

void usb_init(void) {}
int usb_find_busses(void) { return 1; }
int usb_find_devices(void) { return static_cast<int>(devices.size()); }
struct usb_bus* usb_get_busses(void) {
  return busses.empty() ? nullptr : &busses.front();
}

usb_dev_handle* usb_open(struct usb_device*) {
  if (!input->ConsumeBool()) return nullptr;
  ++openHandles;
  return new usb_dev_handle{0};
}

int usb_close(usb_dev_handle* dev) {
  --openHandles;
  delete dev;
  return 0;
}

int usb_get_string_simple(usb_dev_handle*, int, char* buf, size_t buflen) {
  if (input->ConsumeBool()) return Result({-EPIPE, -ETIMEDOUT, -ENODEV});
  const std::string text = input->ConsumeRandomLengthString(buflen - 1);
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

// EBUSY is left out: it only makes the tool wait.
int usb_set_configuration(usb_dev_handle*, int) { return Result({0, 0, 0, -EIO, -ENODEV}); }
int usb_claim_interface(usb_dev_handle*, int) { return Result({0, 0, 0, -EIO, -ENODEV}); }
int usb_release_interface(usb_dev_handle*, int) { return Result({0, 0, 0, -EIO, -ENODEV}); }

int usb_control_msg(usb_dev_handle*, int, int request, int, int, char* bytes, int size, int) {
  int result = Result({0, 1, 2, 4, 8, 32, -EPIPE, -ETIMEDOUT, -ENODEV});
  if (result > size) result = size;
  if (result > 0) {
    const std::string reply = input->ConsumeBytesAsString(static_cast<std::size_t>(result));
    std::memcpy(bytes, reply.data(), reply.size());
  }
  if (request == 1) lastSetState = result;
  if (request == 0) lastGetState = result;
  return result;
}

}  // extern "C"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The commands print their reports; keep the fuzzer's own output readable.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  input = &provider;
  busses.clear();
  devices.clear();
  busses.emplace_back();
  std::memset(&busses.back(), 0, sizeof(usb_bus));
  const int count = provider.ConsumeIntegralInRange(0, 3);
  struct usb_device* previous = nullptr;
  for (int i = 0; i < count; ++i) {
    struct usb_device& device = devices.emplace_back();
    std::memset(&device, 0, sizeof device);
    device.bus = &busses.back();
    device.descriptor.idVendor = provider.ConsumeBool() ? 0x16C0 : provider.ConsumeIntegral<std::uint16_t>();
    device.descriptor.idProduct = provider.ConsumeBool() ? 0x2823 : provider.ConsumeIntegral<std::uint16_t>();
    if (previous) {
      previous->next = &device;
    } else {
      busses.back().devices = &device;
    }
    previous = &device;
  }

  const std::string serial = provider.ConsumeRandomLengthString(8);
  lastSetState = 0;
  if (SwitchCommand(serial, provider.ConsumeBool()) && lastSetState < 0) std::abort();
  lastGetState = 1;
  if (QueryCommand(serial) && lastGetState < 1) std::abort();
  InstalledSwitches = {serial, provider.ConsumeRandomLengthString(16)};
  ListAvailableSwitches();
  if (openHandles != 0) std::abort();
  return 0;
}
