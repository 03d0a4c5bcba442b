// The installed-switch inventory read from a fixture record file and sysfs tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
                        Case{"\n\n", {}}, Case{"%s%n\n", {"%s%n"}}, Case{"LONGSERIALNUMBER1\n", {"LONGSERIALNUMBER1"}}}) {
    Write(root / "installed", c.content);
    EXPECT_EQ(Scan(), c.expected) << c.content;
  }
}

TEST_F(InventoryTest, AttachedSwitchesFollowInFolderOrder) {
  const std::string a = "A1\n", b = "B2\n", c = "C3", recorded = "R1\n", empty = "\n", twoLines = "X1\nX2\n",
                    tab = "X\t3\n";
  Device("1-2", "16c0", "2823", &b);
  Device("1-10", "16c0", "2823", &a);
  Device("2-1", "16c0", "2823", &c);
  Device("1-3", "16c0", "2823", &recorded);  // already in the record
  Device("1-4", "16c0", "2823", nullptr);    // no serial file
  Device("1-5", "16c0", "2823", &empty);     // empty serial
  Device("1-8", "16c0", "2823", &twoLines);  // a line break would pose as a second switch
  Device("1-9", "16c0", "2823", &tab);
  Device("1-6", "1234", "2823", &a);
  Device("1-7", "16c0", "5678", &a);
  Device("usb1", "1d6b", "0002", &a);
  Write(root / "installed", "R1\nOLD\n");
  EXPECT_EQ(Scan(), (std::vector<std::string>{"R1", "OLD", "A1", "B2", "C3"}));
}

TEST_F(InventoryTest, MissingSourcesGiveAnEmptyList) {
  InstalledSwitches = {"stale"};
  fs::remove_all(root / "devices");
  EXPECT_TRUE(Scan().empty());
  fs::create_directories(root / "installed");  // a folder where the file should be
  EXPECT_TRUE(Scan().empty());
}
