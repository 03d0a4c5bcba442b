#include "fake_usb.h"

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "fake_platform.h"

struct usb_dev_handle {
  int bus;
  int device;
  std::intptr_t claim = fakeusb::kNoClaim;  // with FAKEUSB_STATE: the claim other programs see
};

namespace fakeusb {
namespace {

struct State {
  std::vector<Bus> busses;
  std::deque<usb_bus> busNodes;  // stable addresses for the library's lists
  std::deque<struct usb_device> deviceNodes;
  std::vector<std::string> calls;
  int openHandles = 0;
  int dirtyBuffers = 0;
  bool scenarioLoaded = false;
  std::string lastFailure;  // for usb_strerror
};

State& state() {
  static State instance;
  return instance;
}

void Record(const std::string& call) {
  state().calls.push_back(call);
  if (const char* log = std::getenv("FAKEUSB_LOG")) {
    if (FILE* file = std::fopen(log, "ab")) {
      std::fwrite(call.data(), 1, call.size(), file);
      std::fputc('\n', file);
      std::fclose(file);
    }
  }
}

std::string Id(const usb_dev_handle* handle) {
  return std::to_string(handle->bus) + "." + std::to_string(handle->device);
}

void BuildLists() {
  State& s = state();
  s.busNodes.clear();
  s.deviceNodes.clear();
  usb_bus* previousBus = nullptr;
  for (std::size_t b = 0; b < s.busses.size(); ++b) {
    usb_bus& bus = s.busNodes.emplace_back();
    std::memset(&bus, 0, sizeof bus);
    bus.location = static_cast<std::uint32_t>(b + 1);
    const std::string busName = BusName(static_cast<int>(b + 1));
    busName.copy(bus.dirname, sizeof bus.dirname - 1);
    if (previousBus) previousBus->next = &bus;
    bus.prev = previousBus;
    previousBus = &bus;
    struct usb_device* previousDevice = nullptr;
    for (std::size_t d = 0; d < s.busses[b].size(); ++d) {
      struct usb_device& device = s.deviceNodes.emplace_back();
      std::memset(&device, 0, sizeof device);
      device.bus = &bus;
      device.devnum = static_cast<std::uint8_t>(d + 1);
      device.descriptor.idVendor = s.busses[b][d].vendor;
      device.descriptor.idProduct = s.busses[b][d].product;
      const std::string name = DeviceName(static_cast<int>(d + 1), static_cast<int>(s.deviceNodes.size()),
                                          device.descriptor.idVendor, device.descriptor.idProduct);
      name.copy(device.filename, sizeof device.filename - 1);
      if (previousDevice) {
        previousDevice->next = &device;
      } else {
        bus.devices = &device;
      }
      device.prev = previousDevice;
      previousDevice = &device;
    }
  }
}

// FAKEUSB_STATE, when set, names a folder that keeps each switch's state
// between programs: the file BUS.DEVICE holds "on" or "off", read with the
// scenario and again at each open, and rewritten on every set-state
// request. "" when not set.
std::string StateFile(int bus, int device) {
  const char* folder = std::getenv("FAKEUSB_STATE");
  if (!folder) return "";
  return std::string(folder) + "/" + std::to_string(bus) + "." + std::to_string(device);
}

void LoadScenarioOnce() {
  State& s = state();
  if (s.scenarioLoaded) return;
  s.scenarioLoaded = true;
  const char* path = std::getenv("FAKEUSB_SCENARIO");
  if (!path) return;
  std::ifstream file(path);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  s.busses = ParseScenario(text);
  BuildLists();
  for (std::size_t b = 0; b < s.busses.size(); ++b) {
    for (std::size_t d = 0; d < s.busses[b].size(); ++d) {
      std::ifstream kept(StateFile(static_cast<int>(b + 1), static_cast<int>(d + 1)));
      if (std::string word; kept >> word) s.busses[b][d].on = word == "on";
    }
  }
}

std::string Unescape(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value.compare(i, 2, "\\x") == 0 && i + 3 < value.size()) {
      out.push_back(static_cast<char>(std::stoi(value.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

// Busy while another process is said to hold the switch, then result.
int UnlessBusy(int& busyCalls, int result) {
  if (busyCalls <= 0) return result;
  --busyCalls;
  return kBusy;
}

// A call's result, with what usb_strerror says of it when it failed.
int Said(const std::string& call, int result) {
  if (result < 0) state().lastFailure = FailureText(call, result);
  return result;
}

Device& Of(const usb_dev_handle* handle) { return At(handle->bus, handle->device); }

bool AllZero(const char* buffer, int length) {
  for (int i = 0; i < length; ++i) {
    if (buffer[i] != 0) return false;
  }
  return true;
}

// Writes the switch's answer to one request; returns the byte count.
int Answer(Device& device, int request, int value, char* buffer, int length) {
  std::string reply;
  switch (request) {
    case 0: reply = std::string(1, device.on ? '\x01' : '\x00'); break;
    case 1:
      device.on = (value & 1) != 0;
      reply = std::string(1, '\x00');
      break;
    case 4: reply.assign(reinterpret_cast<const char*>(device.version), 4); break;
    case 5: reply = std::string(1, static_cast<char>(device.kind)); break;
    case 6:
      reply = device.name.substr(0, 32);
      if (reply.size() < 32) reply.push_back('\0');
      break;
    default: return -EPIPE;
  }
  const int count = std::min<int>(length, static_cast<int>(reply.size()));
  std::memcpy(buffer, reply.data(), static_cast<std::size_t>(count));
  return count;
}

}  // namespace

Device Switch(const std::string& serial, int kind, const std::string& name, bool on) {
  Device device;
  device.serial = serial;
  device.kind = static_cast<std::uint8_t>(kind);
  device.name = name;
  device.on = on;
  return device;
}

void Reset(const std::vector<Bus>& busses) {
  State& s = state();
  s.busses = busses;
  s.calls.clear();
  s.openHandles = 0;
  s.dirtyBuffers = 0;
  s.scenarioLoaded = true;
  BuildLists();
}

const std::vector<std::string>& Calls() { return state().calls; }
Device& At(int bus, int device) { return state().busses.at(bus - 1).at(device - 1); }
int OpenHandles() { return state().openHandles; }
int DirtyBuffers() { return state().dirtyBuffers; }

std::vector<Bus> ParseScenario(const std::string& text) {
  std::vector<Bus> busses;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    Device device;
    std::size_t bus = 1;
    bool any = false;
    for (std::string field; fields >> field;) {
      any = true;
      const std::size_t eq = field.find('=');
      const std::string key = field.substr(0, eq);
      const std::string value = eq == std::string::npos ? "" : Unescape(field.substr(eq + 1));
      if (key == "bus") bus = std::stoul(value);
      else if (key == "serial") device.serial = value;
      else if (key == "noserial") device.serial.reset();
      else if (key == "kind") device.kind = static_cast<std::uint8_t>(std::stoi(value));
      else if (key == "name") device.name = value;
      else if (key == "on") device.on = value == "1";
      else if (key == "vendor") device.vendor = static_cast<std::uint16_t>(std::stoi(value, nullptr, 16));
      else if (key == "product") device.product = static_cast<std::uint16_t>(std::stoi(value, nullptr, 16));
      else if (key == "open") device.openFails = value == "fail";
      else if (key == "failopens") device.failOpens = std::stoi(value);
      else if (key == "config") device.configResult = std::stoi(value);
      else if (key == "claim") device.claimResult = std::stoi(value);
      else if (key == "busyconfig") device.busyConfig = std::stoi(value);
      else if (key == "busyclaim") device.busyClaim = std::stoi(value);
      else if (key == "slowserial") device.slowSerial = std::stoi(value);
      else if (key == "answerms") device.answerMs = std::stoi(value);
      else if (key == "version") {
        const std::size_t dot = value.find('.');
        device.version[1] = static_cast<std::uint8_t>(std::stoi(value.substr(0, dot)));
        device.version[0] = static_cast<std::uint8_t>(std::stoi(value.substr(dot + 1)));
      } else if (key.rfind("fail", 0) == 0) {
        device.failRequest[std::stoi(key.substr(4))] = std::stoi(value);
      }
    }
    if (!any) continue;
    if (busses.size() < bus) busses.resize(bus);
    busses[bus - 1].push_back(device);
  }
  return busses;
}

}  // namespace fakeusb

using fakeusb::Record;

extern "C" {

void usb_init(void) {
  fakeusb::LoadScenarioOnce();
  Record("init");
}

int usb_find_busses(void) {
  Record("find_busses");
  return static_cast<int>(fakeusb::state().busses.size());
}

int usb_find_devices(void) {
  Record("find_devices");
  int count = 0;
  for (const auto& bus : fakeusb::state().busses) count += static_cast<int>(bus.size());
  return count;
}

struct usb_bus* usb_get_busses(void) {
  Record("get_busses");
  auto& nodes = fakeusb::state().busNodes;
  return nodes.empty() ? nullptr : &nodes.front();
}

usb_dev_handle* usb_open(struct usb_device* dev) {
  usb_dev_handle handle{static_cast<int>(dev->bus->location), dev->devnum};
  Record("open " + fakeusb::Id(&handle));
  fakeusb::Device& device = fakeusb::Of(&handle);
  if (device.openFails || (device.failOpens > 0 && device.failOpens--)) {
    fakeusb::DenyOpen();  // as for a device the user may not open
    fakeusb::state().lastFailure = fakeusb::FailureText("usb_open", 0);
    return nullptr;
  }
  // A program that keeps running (the bridge) sees what another one set.
  if (std::ifstream kept(fakeusb::StateFile(handle.bus, handle.device)); kept) {
    if (std::string word; kept >> word) fakeusb::Of(&handle).on = word == "on";
  }
  ++fakeusb::state().openHandles;
  return new usb_dev_handle(handle);
}

int usb_close(usb_dev_handle* dev) {
  Record("close " + fakeusb::Id(dev));
  fakeusb::DropClaim(dev->claim);
  --fakeusb::state().openHandles;
  delete dev;
  return 0;
}

int usb_get_string_simple(usb_dev_handle* dev, int index, char* buf, size_t buflen) {
  Record("string " + fakeusb::Id(dev) + " " + std::to_string(index));
  fakeusb::Device& device = fakeusb::Of(dev);
  if (device.slowSerial > 0) {
    --device.slowSerial;
    return fakeusb::Said("usb_get_string_simple", fakeusb::kTimedOut);
  }
  if (index != 3 || !device.serial || buflen == 0) return fakeusb::Said("usb_get_string_simple", -EPIPE);
  const std::size_t count = std::min(device.serial->size(), buflen - 1);
  std::memcpy(buf, device.serial->data(), count);
  buf[count] = '\0';
  return static_cast<int>(count);
}

int usb_set_configuration(usb_dev_handle* dev, int configuration) {
  Record("config " + fakeusb::Id(dev) + " " + std::to_string(configuration));
  fakeusb::Device& device = fakeusb::Of(dev);
  return fakeusb::Said("usb_set_configuration", fakeusb::UnlessBusy(device.busyConfig, device.configResult));
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
  Record("claim " + fakeusb::Id(dev) + " " + std::to_string(interface));
  fakeusb::Device& device = fakeusb::Of(dev);
  const int result = fakeusb::UnlessBusy(device.busyClaim, device.claimResult);
  // Between programs a claim is exclusive, as the kernel's is: a lock on a
  // file beside the state, held until the handle is closed.
  if (const std::string kept = fakeusb::StateFile(dev->bus, dev->device); result == 0 && !kept.empty()) {
    bool busy = false;
    const std::intptr_t claim = fakeusb::TakeClaim(kept + ".claim", busy);
    if (busy) return fakeusb::Said("usb_claim_interface", fakeusb::kBusy);
    if (dev->claim == fakeusb::kNoClaim) dev->claim = claim;
    else fakeusb::DropClaim(claim);
  }
  return fakeusb::Said("usb_claim_interface", result);
}

int usb_release_interface(usb_dev_handle* dev, int interface) {
  Record("release " + fakeusb::Id(dev) + " " + std::to_string(interface));
  if (dev->claim != fakeusb::kNoClaim) fakeusb::DropClaim(dev->claim);
  dev->claim = fakeusb::kNoClaim;
  return 0;
}

int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index, char* bytes, int size,
                    int timeout) {
  char type[8];
  std::snprintf(type, sizeof type, "%02x", requesttype);
  Record("control " + fakeusb::Id(dev) + " " + type + " " + std::to_string(request) + " " + std::to_string(value) +
         " " + std::to_string(index) + " " + std::to_string(size) + " " + std::to_string(timeout));
  if (!fakeusb::AllZero(bytes, size)) ++fakeusb::state().dirtyBuffers;
  fakeusb::Device& device = fakeusb::Of(dev);
  if (device.answerMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(device.answerMs));
  if (auto fault = device.failRequest.find(request); fault != device.failRequest.end()) {
    return fakeusb::Said("usb_control_msg", fault->second);
  }
  // A program that keeps the switch open (the bridge) reads what another one set.
  if (std::ifstream kept(fakeusb::StateFile(dev->bus, dev->device)); request == 0 && kept) {
    if (std::string word; kept >> word) device.on = word == "on";
  }
  const int count = fakeusb::Answer(device, request, value, bytes, size);
  if (const std::string kept = fakeusb::StateFile(dev->bus, dev->device); request == 1 && !kept.empty()) {
    std::ofstream(kept) << (device.on ? "on\n" : "off\n");
  }
  return count;
}

char* usb_strerror(void) { return fakeusb::state().lastFailure.data(); }

}  // extern "C"
