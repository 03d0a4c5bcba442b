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

TEST_F(InventoryTest, RecordLinesInFileOrder) {
  struct Case {
    std::string content;
    std::vector<std::string> expected;
  };
  for (const Case& c : {Case{"", {}}, Case{"B2\nA1\n", {"B2", "A1"}}, Case{"B2\n\n\nA1\nB2", {"B2", "A1", "B2"}},
                        Case{"\n\n", {}}, Case{"%s%n\n", {"%s%n"}}, Case{"LONGSERIALNUMBER1\n", {"LONGSERIALNUMBER1"}},
                        // Edited on another system: one CR per line is not part of the serial number.
                        Case{"A1\r\nB2\r\n\r\nC3\r", {"A1", "B2", "C3"}}, Case{"A1\r\r\n", {"A1\r"}}}) {
    Write(root / "installed", c.content);
    EXPECT_EQ(Scan(), c.expected) << c.content;
  }
}

TEST_F(InventoryTest, AttachedSwitchesFollowInFolderOrder) {
  const std::string a = "A1\n", b = "B2\n", c = "C3", recorded = "R1\n", empty = "\n", twoLines = "X1\nX2\n",
                    tab = "X\t3\n", c1 = "X\xc2\x9b" "3\n", nbsp = "N\xc2\xa0" "1\n", long200 = std::string(200, 'L') + "\n",
                    long126 = std::string(126, 'M') + "\n";
  Device("1-2", "16c0", "2823", &b);
  Device("1-10", "16c0", "2823", &a);
  Device("2-1", "16c0", "2823", &c);
  Device("1-3", "16c0", "2823", &recorded);  // already in the record
  Device("1-4", "16c0", "2823", nullptr);    // no serial file
  Device("1-5", "16c0", "2823", &empty);     // empty serial
  Device("1-8", "16c0", "2823", &twoLines);  // a line break would pose as a second switch
  Device("1-9", "16c0", "2823", &tab);
  Device("3-1", "16c0", "2823", &c1);       // a C1 control in UTF-8
  Device("3-2", "16c0", "2823", &long200);  // longer than a record line may be
  Device("3-3", "16c0", "2823", &nbsp);     // other 8-bit text stays
  Device("3-4", "16c0", "2823", &long126);
  Device("1-6", "1234", "2823", &a);
  Device("1-7", "16c0", "5678", &a);
  Device("usb1", "1d6b", "0002", &a);
  Write(root / "installed", "R1\r\nOLD\n");
  EXPECT_EQ(Scan(), (std::vector<std::string>{"R1", "OLD", "A1", "B2", "C3", "N\xc2\xa0" "1", std::string(126, 'M')}));
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
