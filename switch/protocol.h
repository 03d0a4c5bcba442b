// The switch's USB identity and its vendor control protocol on endpoint 0.
#pragma once

#include <cstdint>

namespace velorin {

inline constexpr std::uint16_t kVendorId = 0x16C0;
inline constexpr std::uint16_t kProductId = 0x2823;
// The same identifiers as sysfs writes them.
inline constexpr const char* kVendorIdText = "16c0";
inline constexpr const char* kProductIdText = "2823";
// Both, as lsusb and the messages show them.
inline constexpr const char* kUsbIdText = "16c0:2823";

// Every request is a read: device-to-host, vendor type, recipient device.
inline constexpr int kRequestType = 0xC0;
inline constexpr int kTimeoutMs = 1000;

inline constexpr int kRequestGetState = 0;    // reply byte 0, bit 0: on
inline constexpr int kRequestSetState = 1;    // wValue 1 on, 0 off; reply ignored
inline constexpr int kRequestGetVersion = 4;  // bytes 0..3: minor, major, aux low, aux high
inline constexpr int kRequestGetKind = 5;     // byte 0: 1 plain switch, 2 switch with a name
inline constexpr int kRequestGetName = 6;     // up to 32 bytes, ends at the first zero

inline constexpr int kReplyLength = 8;
inline constexpr int kNameLength = 32;

inline constexpr int kKindPlain = 1;
inline constexpr int kKindNamed = 2;
inline constexpr int kSupportedMajor = 1;

// The serial number lives at a fixed string index, not the descriptor's iSerialNumber.
inline constexpr int kSerialStringIndex = 3;
inline constexpr int kSerialBufferLength = 256;

inline constexpr int kConfiguration = 1;
inline constexpr int kInterface = 0;

// Another process holding the switch makes configuration or claim fail with
// EBUSY; such a step is retried for this long before the device is given up.
inline constexpr int kBusyRetryMs = 2000;
inline constexpr int kBusyPollMs = 10;

}  // namespace velorin
