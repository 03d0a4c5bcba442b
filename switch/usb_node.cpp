#include "usb_node.h"

#include <cstdio>

namespace velorin {

namespace {

// A bus or device number with three digits, as the kernel names its nodes.
std::string Digits(int number) {
  char text[16];
  std::snprintf(text, sizeof text, "%03d", number);
  return text;
}

}  // namespace

std::string Label(const TUsbNode& node) { return "bus " + Digits(node.Bus) + " device " + Digits(node.Device); }

std::string NodePath(const TUsbNode& node, std::string_view root) {
  return std::string(root) + "/" + Digits(node.Bus) + "/" + Digits(node.Device);
}

}  // namespace velorin
