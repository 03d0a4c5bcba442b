// TVelorin: the connection to one switch.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "switch_turn.h"
#include "usb_node.h"

struct usb_dev_handle;
struct usb_device;

struct TSwitchVersion {
  std::uint8_t Major = 0;
  std::uint8_t Minor = 0;
  std::uint16_t Aux = 0;  // passed through, not interpreted
};

// Finds, opens and validates one switch and wraps its control requests.
// Operations never throw; a failure is a false, empty or zero result.
class TVelorin {
 public:
  TVelorin() = default;
  // Releases a handle still held, without sending any request.
  ~TVelorin() = default;
  TVelorin(const TVelorin&) = delete;
  TVelorin& operator=(const TVelorin&) = delete;

  // Opens the switch with this serial number (or the remembered one when
  // empty). An empty serial with nothing remembered succeeds without USB access.
  bool Open(const std::string& serial);
  // Opens only the switch at this bus and device number, when it carries this
  // serial number: no other switch is opened or asked for its serial number.
  // The buses are scanned again only when the last scan did not list a switch
  // there or it cannot be taken, so a program that opens its switches again
  // and again (the bridge) does not read every device node each time.
  bool OpenAt(const velorin::TUsbNode& node, const std::string& serial);
  void Close();

  // Request 0. Empty without a handle or when the switch sent no state byte.
  std::optional<bool> GetState();
  // Request 1. False without a handle or when the transfer failed.
  bool SetState(bool on);
  TSwitchVersion GetVersion();
  std::uint8_t GetKind();
  // The name of a named (kind 2) switch; empty for any other.
  std::string GetName();

  // The one place that talks to the switch: a vendor read on endpoint 0.
  int SendControl(int request, int value, int index, char* buffer, int length);

  bool IsOpen() const { return Handle != nullptr; }

  // Only a device whose serial-number string equals the wanted one is taken.
  bool CheckSerial = true;
  // 0 off, 1 on, 2 leave unchanged.
  std::int8_t StateOnOpen = 2;
  std::int8_t StateOnClose = 2;
  std::string SerialNumber;

 private:
  struct TCloseDevice {
    void operator()(usb_dev_handle* handle) const;
  };

  // Opens the first listed switch with the wanted serial number (only the
  // one at ONLY, when given), scanning the buses first when SCAN.
  bool OpenListed(const std::string& wanted, const std::optional<velorin::TUsbNode>& only, bool scan);
  // Takes the device (Handle, Turn, Location) when it is the wanted switch,
  // its turn has come and it can be claimed; else false, with the reason said.
  bool TakeDevice(usb_device* device, const velorin::TUsbNode& node, const std::string& wanted);

  // "bus 001 device 002" of the open switch, for diagnostics.
  std::string Location;
  // This program's turn at the open switch, held until Close (and until after
  // the handle is closed).
  velorin::TSwitchTurn Turn;
  std::unique_ptr<usb_dev_handle, TCloseDevice> Handle;
};
