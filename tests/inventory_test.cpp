// The installed-switch inventory read from a fixture record file and sysfs tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "inventory.h"

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
    ScanInstalledSwitches((root / "installed").string(), (root / "devices").string());
    return InstalledSwitches;
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

TEST_F(InventoryTest, MissingSourcesGiveAnEmptyList) {
  InstalledSwitches = {"stale"};
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
