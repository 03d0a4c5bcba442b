#include "gadget.hpp"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velorin_sim {

namespace {

const char* const ConfigfsRoot = "/sys/kernel/config/usb_gadget/";
const char* const InterfaceString = "Velorin virtual switch";

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xff));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void SetLe32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutInterface(std::vector<std::uint8_t>& out) {
  out.push_back(USB_DT_INTERFACE_SIZE);
  out.push_back(USB_DT_INTERFACE);
  out.push_back(0);                      // bInterfaceNumber
  out.push_back(0);                      // bAlternateSetting
  out.push_back(0);                      // bNumEndpoints
  out.push_back(USB_CLASS_VENDOR_SPEC);  // bInterfaceClass
  out.push_back(0);                      // bInterfaceSubClass
  out.push_back(0);                      // bInterfaceProtocol
  out.push_back(1);                      // iInterface: the first string below
}

// configfs names a FunctionFS instance by the part after "ffs."; keep it to
// characters that are safe as a mount source too.
std::string InstanceName(const std::string& gadget) {
  std::string out;
  for (char c : gadget) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    out.push_back(plain ? c : '_');
  }
  return out;
}

bool MakeDir(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  error = "cannot create " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

std::vector<std::uint8_t> FunctionDescriptors() {
  std::vector<std::uint8_t> out;
  PutLe32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  PutLe32(out, 0);  // length, filled in below
  PutLe32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
  PutLe32(out, 1);  // full-speed descriptor count
  PutLe32(out, 1);  // high-speed descriptor count
  PutInterface(out);
  PutInterface(out);
  SetLe32(out, 4, static_cast<std::uint32_t>(out.size()));
  return out;
}

std::vector<std::uint8_t> FunctionStrings() {
  std::vector<std::uint8_t> out;
  PutLe32(out, FUNCTIONFS_STRINGS_MAGIC);
  PutLe32(out, 0);  // length, filled in below
  PutLe32(out, 1);  // strings per language
  PutLe32(out, 1);  // languages
  PutLe16(out, 0x0409);
  for (const char* p = InterfaceString; *p; ++p) out.push_back(static_cast<std::uint8_t>(*p));
  out.push_back(0);
  SetLe32(out, 4, static_cast<std::uint32_t>(out.size()));
  return out;
}

bool WriteAttribute(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // configfs attributes take the whole value in one write; an empty value
  // (as for unbinding) is written as a lone newline.
  const std::string data = text.empty() ? std::string("\n") : text;
  const ssize_t n = write(fd, data.data(), data.size());
  const int saved = errno;
  close(fd);
  errno = saved;
  return n == static_cast<ssize_t>(data.size());
}

Gadget::Gadget(std::string name, std::string udc, std::string mountDir)
    : Name_(std::move(name)), Instance_(InstanceName(Name_)), Udc_(std::move(udc)), MountDir_(std::move(mountDir)) {
  if (MountDir_.empty()) MountDir_ = "/run/velorin-sim-" + Instance_;
}

Gadget::~Gadget() { Remove(); }

std::string Gadget::Path(const std::string& rel) const { return ConfigfsRoot + Name_ + (rel.empty() ? "" : "/" + rel); }

bool Gadget::Create(const SwitchSettings& s, std::string& error) {
  struct stat st {};
  if (stat(ConfigfsRoot, &st) != 0) {
    error = std::string(ConfigfsRoot) + " is missing: load libcomposite and mount configfs on /sys/kernel/config";
    return false;
  }
  if (stat(Path("").c_str(), &st) == 0) {
    error = "gadget " + Path("") + " exists already";
    return false;
  }
  if (!MakeDir(Path(""), error)) return false;
  Made_ = true;
  char bcd[8];
  std::snprintf(bcd, sizeof bcd, "0x%04x", s.BcdDevice);
  const std::string func = "functions/ffs." + Instance_;
  struct Attr {
    std::string rel, value;
  };
  std::vector<Attr> attrs = {{"idVendor", "0x16c0"}, {"idProduct", "0x2823"}, {"bcdDevice", bcd}, {"bcdUSB", "0x0200"}};
  if (!MakeDir(Path("strings/0x409"), error)) return false;
  attrs.push_back({"strings/0x409/manufacturer", s.Manufacturer});
  attrs.push_back({"strings/0x409/product", s.Product});
  if (s.HasSerial) attrs.push_back({"strings/0x409/serialnumber", s.Serial});
  if (!MakeDir(Path("configs/c.1"), error) || !MakeDir(Path("configs/c.1/strings/0x409"), error)) return false;
  attrs.push_back({"configs/c.1/strings/0x409/configuration", "Switch"});
  attrs.push_back({"configs/c.1/MaxPower", "100"});
  for (const auto& a : attrs) {
    if (!WriteAttribute(Path(a.rel), a.value)) {
      error = "cannot write " + Path(a.rel) + ": " + std::strerror(errno);
      return false;
    }
  }
  if (!MakeDir(Path(func), error)) return false;
  if (symlink(Path(func).c_str(), Path("configs/c.1/ffs." + Instance_).c_str()) != 0 && errno != EEXIST) {
    error = "cannot link " + func + " into configs/c.1: " + std::strerror(errno);
    return false;
  }
  if (stat(MountDir_.c_str(), &st) != 0) {
    if (!MakeDir(MountDir_, error)) return false;
    MadeMountDir_ = true;
  }
  if (mount(Instance_.c_str(), MountDir_.c_str(), "functionfs", 0, nullptr) != 0) {
    error = "cannot mount functionfs " + Instance_ + " on " + MountDir_ + ": " + std::strerror(errno);
    return false;
  }
  Mounted_ = true;
  return true;
}

bool Gadget::Bind(std::string& error) {
  if (WriteAttribute(Path("UDC"), Udc_)) return true;
  error = "cannot bind to UDC " + Udc_ + ": " + std::strerror(errno);
  return false;
}

bool Gadget::Unbind() { return WriteAttribute(Path("UDC"), ""); }

void Gadget::Remove() {
  if (!Made_) return;
  Made_ = false;
  Unbind();
  if (Mounted_) umount2(MountDir_.c_str(), MNT_DETACH);
  Mounted_ = false;
  if (MadeMountDir_) rmdir(MountDir_.c_str());
  MadeMountDir_ = false;
  unlink(Path("configs/c.1/ffs." + Instance_).c_str());
  for (const char* rel : {"configs/c.1/strings/0x409", "configs/c.1", "strings/0x409"}) rmdir(Path(rel).c_str());
  rmdir(Path("functions/ffs." + Instance_).c_str());
  rmdir(Path("").c_str());
}

}  // namespace velorin_sim
