// Record file and sysfs attribute contents through the inventory scan.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "installed_files.h"

namespace fs = std::filesystem;

namespace {

const fs::path& Root() {
  // Memory-backed when possible: every run writes a fresh tree.
  static const fs::path root = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                               ("velorin-inventory-fuzz-" + std::to_string(::getpid()));
  return root;
}

void Write(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  fs::remove_all(Root());
  fs::create_directories(Root() / "devices");
  Write(Root() / "installed", input.ConsumeRandomLengthString(4096));

  const int devices = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < devices; ++i) {
    const fs::path device = Root() / "devices" / ("1-" + std::to_string(input.ConsumeIntegral<std::uint8_t>()));
    fs::create_directories(device);
    Write(device / "idVendor", input.ConsumeBool() ? "16c0\n" : input.ConsumeRandomLengthString(8));
    Write(device / "idProduct", input.ConsumeBool() ? "2823\n" : input.ConsumeRandomLengthString(8));
    if (input.ConsumeBool()) Write(device / "serial", input.ConsumeRandomLengthString(300));
  }

  for (const std::string& serial : velorin::InstalledSerials(velorin::AttachedSwitches((Root() / "devices").string()),
                                                             (Root() / "installed").string())) {
    // Lines never hold their separator, and no entry is empty.
    if (serial.empty() || serial.find('\n') != std::string::npos) std::abort();
  }
  return 0;
}
