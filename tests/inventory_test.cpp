// The installed-switch inventory read from a fixture record file and sysfs tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installed_files.h"
#include "usb_scan.h"

namespace fs = std::filesystem;

class InventoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("velorin-inventory-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "devices");
  }
  void TearDown() override { fs::remove_all(root); }

  void Write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  void Device(const std::string& folder, const std::string& vendor, const std::string& product,
              const std::string* serial) {
    Write(root / "devices" / folder / "idVendor", vendor + "\n");
    Write(root / "devices" / folder / "idProduct", product + "\n");
    if (serial) Write(root / "devices" / folder / "serial", *serial);
  }
  std::vector<std::string> Scan() {
    return velorin::InstalledSerials(velorin::AttachedSwitches((root / "devices").string()),
                                     (root / "installed").string());
  }

  fs::path root;
};

TEST_F(InventoryTest, AttachedSwitchesFollowInFolderOrder) {
  // The serial-number rule itself has its own table; here the scan applies it.
  const std::string a = "A1\n", b = "B2\n", c = "C3", recorded = "R1\n", empty = "\n", twoLines = "X1\nX2\n",
                    long200 = std::string(200, 'L') + "\n";
  Device("1-2", "16c0", "2823", &b);
  Device("1-10", "16c0", "2823", &a);
  Device("2-1", "16c0", "2823", &c);
  Device("1-3", "16c0", "2823", &recorded);  // already in the record
  Device("1-4", "16c0", "2823", nullptr);    // no serial file
  Device("1-5", "16c0", "2823", &empty);     // empty serial
  Device("1-8", "16c0", "2823", &twoLines);  // a line break would pose as a second switch
  Device("3-2", "16c0", "2823", &long200);   // longer than a record line may be
  Device("1-6", "1234", "2823", &a);
  Device("1-7", "16c0", "5678", &a);
  Device("usb1", "1d6b", "0002", &a);
  Write(root / "installed", "R1\r\nOLD\n");
  // The record's lines as RecordLines reads them (R1 without its CR), then
  // the attached switches not recorded.
  EXPECT_EQ(Scan(), (std::vector<std::string>{"R1", "OLD", "A1", "B2", "C3"}));
}

// The bridge takes each installed switch's place from the same walk: of
// folders with one serial number, the first that gives a bus and device.
TEST_F(InventoryTest, AttachedSwitchesSayWhereTheySit) {
  const std::string a = "A1\n", b = "B2\n", refused = "\n";
  Device("1-2", "16c0", "2823", &a);  // no bus or device number
  for (const auto& [folder, serial, device] : {std::tuple{"1-3", &a, "7"}, {"1-4", &a, "9"}, {"1-5", &refused, "4"}}) {
    Device(folder, "16c0", "2823", serial);
    Write(root / "devices" / folder / "busnum", "1\n");
    Write(root / "devices" / folder / "devnum", std::string(device) + "\n");
  }
  Device("1-6", "16c0", "2823", &b);
  const std::vector<velorin::TAttachedSwitch> attached = velorin::AttachedSwitches((root / "devices").string());
  ASSERT_EQ(attached.size(), 4u);
  EXPECT_EQ(velorin::AttachedAt(attached, "A1"), (velorin::TUsbNode{1, 7}));
  EXPECT_EQ(velorin::AttachedAt(attached, "B2"), std::nullopt);
  EXPECT_EQ(velorin::AttachedAt(attached, ""), std::nullopt);
  EXPECT_EQ(velorin::InstalledSerials(attached, (root / "installed").string()),
            (std::vector<std::string>{"A1", "A1", "A1", "B2"}));
}

TEST_F(InventoryTest, MissingSourcesGiveAnEmptyList) {
  fs::remove_all(root / "devices");
  EXPECT_TRUE(Scan().empty());
  fs::create_directories(root / "devices");
  // What stands where the record should be; none may hang or crash the scan.
  const auto folder = [&] { fs::create_directories(root / "installed"); };
  const auto fifo = [&] { ASSERT_EQ(::mkfifo((root / "installed").c_str(), 0644), 0); };
  const auto zero = [&] { fs::create_symlink("/dev/zero", root / "installed"); };
  const auto huge = [&] {  // past the read bound
    Write(root / "installed", "A1\n");
    fs::resize_file(root / "installed", (std::uintmax_t{16} << 20) + 1);
  };
  for (const auto& make : std::vector<std::function<void()>>{folder, fifo, zero, huge}) {
    fs::remove_all(root / "installed");
    make();
    EXPECT_TRUE(Scan().empty());
  }
  // The same for an attached switch's serial attribute.
  Write(root / "devices" / "1-1" / "idVendor", "16c0\n");
  Write(root / "devices" / "1-1" / "idProduct", "2823\n");
  ASSERT_EQ(::mkfifo((root / "devices" / "1-1" / "serial").c_str(), 0644), 0);
  fs::remove_all(root / "installed");
  EXPECT_TRUE(Scan().empty());
}

// The same sysfs fixture decides which folder the USB library scans: the
// switches' links only when each switch sysfs shows has its link, leading to
// its node (regular files stand in for nodes here).
TEST_F(InventoryTest, ScanOnlyTheSwitchLinksWhenEachHasOne) {
  struct Case {
    const char* what;
    std::vector<std::string> switches;  // sysfs folder:bus:device
    std::vector<std::string> links;     // bus/device -> node bus/device
    bool narrowed;
    std::string reason;
  };
  const std::string links = (root / "links").string(), nodes = (root / "nodes").string();
  // clang-format off
  const std::vector<Case> cases = {
      {"no switch attached: nothing to narrow", {}, {}, false, ""},
      {"each switch has its link", {"1-1:1:2", "2-1:2:7"}, {"001/002:001/002", "002/007:002/007"}, true,
       "scanning " + links + ": each attached switch has its link there"},
      {"a link missing (udev not caught up)", {"1-1:1:2", "2-1:2:7"}, {"001/002:001/002"}, false,
       "scanning " + nodes + ": bus 002 device 007, a switch, has no link to it in " + links},
      {"a stale link (replugged as device 3)", {"1-1:1:3"}, {"001/002:001/002", "001/003:001/002"}, false,
       "scanning " + nodes + ": bus 001 device 003, a switch, has no link to it in " + links},
      {"links in a folder others may change", {"1-1:1:2"}, {"001/002:001/002", "writable"}, false,
       "scanning " + nodes + ": " + links + "/001 is not a folder only root may change"},
  };
  // clang-format on
  for (const Case& c : cases) {
    fs::remove_all(root);
    fs::create_directories(root / "devices");
    for (const std::string& entry : c.switches) {
      const std::string folder = entry.substr(0, entry.find(':'));
      const std::string numbers = entry.substr(entry.find(':') + 1);
      Device(folder, "16c0", "2823", nullptr);
      Write(root / "devices" / folder / "busnum", numbers.substr(0, numbers.find(':')) + "\n");
      Write(root / "devices" / folder / "devnum", numbers.substr(numbers.find(':') + 1) + "\n");
    }
    Device("1-9", "1d6b", "0002", nullptr);  // a hub: needs no link
    for (const std::string& link : c.links) {
      if (link == "writable") {
        fs::permissions(root / "links" / "001", fs::perms::others_write, fs::perm_options::add);
        continue;
      }
      const std::string at = link.substr(0, link.find(':')), to = link.substr(link.find(':') + 1);
      Write(root / "nodes" / to, "");
      Write(root / "nodes" / at, "");
      fs::create_directories((root / "links" / at).parent_path());
      fs::create_symlink(root / "nodes" / to, root / "links" / at);
    }
    const velorin::TScanChoice choice =
        velorin::ChooseScanFolder((root / "devices").string(), links, nodes, velorin::ulOriginal);
    EXPECT_EQ(choice.Folder, c.narrowed ? links : "") << c.what;
    EXPECT_EQ(choice.Reason, c.reason) << c.what;
    // libusb-compat scans no folder: it lists the devices from sysfs and
    // opens no other device whatever the links.
    const velorin::TScanChoice compat =
        velorin::ChooseScanFolder((root / "devices").string(), links, nodes, velorin::ulCompat);
    EXPECT_EQ(compat.Folder, "") << c.what;
    EXPECT_EQ(compat.Reason, c.switches.empty() ? ""
                                                : "scanning sysfs: libusb-compat (over libusb-1.0) lists the devices "
                                                  "there and opens only the switches")
        << c.what;
  }
  // The user's own choice stands; libusb-compat ignores it.
  ::setenv("USB_DEVFS_PATH", "/somewhere", 1);
  const velorin::TScanChoice choice =
      velorin::ChooseScanFolder((root / "devices").string(), links, nodes, velorin::ulOriginal);
  const velorin::TScanChoice compat =
      velorin::ChooseScanFolder((root / "devices").string(), links, nodes, velorin::ulCompat);
  ::unsetenv("USB_DEVFS_PATH");
  EXPECT_EQ(choice.Folder, "");
  EXPECT_EQ(choice.Reason, "scanning USB_DEVFS_PATH as set: /somewhere");
  EXPECT_EQ(compat.Folder, "");
  EXPECT_EQ(compat.Reason,
            "scanning sysfs: libusb-compat (over libusb-1.0) lists the devices there and opens only the switches; it "
            "ignores USB_DEVFS_PATH as set: /somewhere");
}

// The two libusb 0.1 share a soname; what else the process has loaded tells
// them apart.
TEST(UsbLibraryTest, CompatIsToldByLibusb1InTheProcess) {
  EXPECT_EQ(velorin::LoadedUsbLibrary(), velorin::ulOriginal);
  void* libusb1 = ::dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(libusb1, nullptr) << "libusb-1.0.so.0 is not installed (apt-get install libusb-1.0-0)";
  EXPECT_EQ(velorin::LoadedUsbLibrary(), velorin::ulCompat);
  ::dlclose(libusb1);
}
