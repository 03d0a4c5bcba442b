// velorin-hold: stands in for another program that has a switch open. It
// opens the device node, claims interface 0 through usbfs, says "held" on
// standard output, keeps the claim for the given time and then exits (the
// kernel releases the claim with the file).
//
// usage: velorin-hold /dev/bus/usb/BBB/DDD MILLISECONDS
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: velorin-hold DEVICE_NODE MILLISECONDS\n", stderr);
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "velorin-hold: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  unsigned int interface = 0;
  if (ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) != 0) {
    std::fprintf(stderr, "velorin-hold: cannot claim interface 0: %s\n", std::strerror(errno));
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  const long ms = std::strtol(argv[2], nullptr, 10);
  timespec wait{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
  close(fd);
  return 0;
}
