// The kernel side of a virtual switch: the configfs gadget that gives it the
// switch's USB identity, and the FunctionFS descriptors that let its program
// answer the vendor requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device.hpp"

namespace velorin_sim {

// The FunctionFS descriptor and string blobs written to ep0 before binding:
// one vendor-class interface without endpoints, for full and high speed, with
// every control request to the device passed to the program.
std::vector<std::uint8_t> FunctionDescriptors();
std::vector<std::uint8_t> FunctionStrings();

// A configfs gadget owned by this process: built by Create, bound by Bind,
// torn down by Remove (also on destruction).
class Gadget {
 public:
  Gadget(std::string name, std::string udc, std::string mountDir);
  ~Gadget();
  Gadget(const Gadget&) = delete;
  Gadget& operator=(const Gadget&) = delete;

  // Makes the gadget directory, its identity and strings, configuration c.1
  // with one FunctionFS function, and mounts that function's file system.
  bool Create(const SwitchSettings& settings, std::string& error);
  bool Bind(std::string& error);
  bool Unbind();
  void Remove();

  const std::string& MountDir() const { return MountDir_; }

 private:
  std::string Path(const std::string& rel) const;

  std::string Name_;
  std::string Instance_;
  std::string Udc_;
  std::string MountDir_;
  bool Made_ = false;
  bool Mounted_ = false;
  bool MadeMountDir_ = false;
};

// Writes text to an existing file (a configfs or sysfs attribute).
bool WriteAttribute(const std::string& path, const std::string& text);

}  // namespace velorin_sim
