#include "device_events.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

namespace velorin::mqtt {

namespace {

// The number a "KEY=value" field of the event gives, or 0.
int Field(std::string_view event, std::string_view key) {
  const std::size_t at = event.find(key);
  if (at == std::string_view::npos) return 0;
  const std::string_view rest = event.substr(at + key.size());
  int value = 0;
  std::from_chars(rest.data(), rest.data() + rest.size(), value);
  return value;
}

}  // namespace

TDeviceEvents::TDeviceEvents() {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = 1;  // the kernel's own events
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return;
  }
  Socket = fd;
}

TDeviceEvents::~TDeviceEvents() {
  if (Socket >= 0) ::close(Socket);
}

std::set<TUsbNode> TDeviceEvents::Take() {
  std::set<TUsbNode> nodes;
  if (Socket < 0) return nodes;
  char buffer[8192];
  for (;;) {
    sockaddr_nl sender{};
    socklen_t length = sizeof sender;
    const ssize_t got = ::recvfrom(Socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (got < 0) return nodes;
    if (sender.nl_pid != 0) continue;  // only the kernel's word counts
    const std::string_view event(buffer, static_cast<std::size_t>(got));
    if (event.find(std::string_view("\0SUBSYSTEM=usb\0", 15)) == std::string_view::npos ||
        event.find(std::string_view("\0DEVTYPE=usb_device\0", 20)) == std::string_view::npos) {
      continue;
    }
    nodes.insert({Field(event, std::string_view("\0BUSNUM=", 8)), Field(event, std::string_view("\0DEVNUM=", 8))});
  }
}

}  // namespace velorin::mqtt
