// The part of libusb-win32's libusb 0.1 interface (libusb0.dll) this tool
// uses, declared from its documented interface. Its binary layout is not
// Linux's usb.h: every structure is byte-packed, path names hold 512 bytes,
// a bus's location is 32 bits, and the bus list is reached only through
// usb_get_busses(). Results are 0 or a byte count, or a negative error code.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

inline constexpr std::size_t kLibusbPathMax = 512;

struct usb_device_descriptor {
  std::uint8_t bLength;
  std::uint8_t bDescriptorType;
  std::uint16_t bcdUSB;
  std::uint8_t bDeviceClass;
  std::uint8_t bDeviceSubClass;
  std::uint8_t bDeviceProtocol;
  std::uint8_t bMaxPacketSize0;
  std::uint16_t idVendor;
  std::uint16_t idProduct;
  std::uint16_t bcdDevice;
  std::uint8_t iManufacturer;
  std::uint8_t iProduct;
  std::uint8_t iSerialNumber;
  std::uint8_t bNumConfigurations;
};

struct usb_config_descriptor;
struct usb_bus;

struct usb_device {
  usb_device* next;
  usb_device* prev;
  char filename[kLibusbPathMax];
  usb_bus* bus;
  usb_device_descriptor descriptor;
  usb_config_descriptor* config;
  void* dev;
  std::uint8_t devnum;
  std::uint8_t num_children;
  usb_device** children;
};

struct usb_bus {
  usb_bus* next;
  usb_bus* prev;
  char dirname[kLibusbPathMax];
  usb_device* devices;
  std::uint32_t location;
  usb_device* root_dev;
};

#pragma pack(pop)

static_assert(sizeof(usb_device_descriptor) == 18);
static_assert(sizeof(usb_bus) == 2 * 8 + kLibusbPathMax + 8 + 4 + 8);

struct usb_dev_handle;

extern "C" {
void usb_init(void);
int usb_find_busses(void);
int usb_find_devices(void);
usb_bus* usb_get_busses(void);
usb_dev_handle* usb_open(usb_device* dev);
int usb_close(usb_dev_handle* dev);
int usb_set_configuration(usb_dev_handle* dev, int configuration);
int usb_claim_interface(usb_dev_handle* dev, int interface);
int usb_release_interface(usb_dev_handle* dev, int interface);
int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index, char* bytes, int size,
                    int timeout);
int usb_get_string_simple(usb_dev_handle* dev, int index, char* buf, std::size_t buflen);
// The library's text for its last failure, Windows' own error text included.
char* usb_strerror(void);
}
