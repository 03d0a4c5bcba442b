// The virtual switch's behaviour, kept apart from the kernel interfaces so it
// can be checked on any machine: its settings, its state, the faults it can be
// told to show, and the answer it gives to each control request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velorin_sim {

// What a switch does with one request.
enum class FaultAction {
  Stall,   // refuse the request (the host sees -EPIPE at once)
  Delay,   // answer only after Arg milliseconds (past the host's timeout)
  Short,   // answer with only Arg bytes
  Unbind,  // unplug the switch from its bus instead of answering
};

struct Fault {
  int Request = -1;  // vendor request number, -1 for every request
  FaultAction Action = FaultAction::Stall;
  unsigned Arg = 0;    // milliseconds for Delay, bytes for Short
  int Remaining = -1;  // how many more times it applies, -1 for always
};

struct SwitchSettings {
  std::string Serial = "VS000001";
  bool HasSerial = true;  // false: the gadget carries no serial string
  std::uint8_t Major = 1;
  std::uint8_t Minor = 0;
  std::uint16_t Aux = 0;
  std::uint8_t Kind = 2;
  std::string Name = "Virtual switch";
  bool On = false;  // state at start
  std::uint16_t BcdDevice = 0x0100;
  std::string Manufacturer = "velorin";
  std::string Product = "Virtual switch";
  std::vector<Fault> Faults;
};

// One control request as it arrives in a setup packet.
struct SetupPacket {
  std::uint8_t RequestType = 0;
  std::uint8_t Request = 0;
  std::uint16_t Value = 0;
  std::uint16_t Index = 0;
  std::uint16_t Length = 0;
};

// What the switch does with a request.
struct Reply {
  enum class Kind { Data, Stall, Unbind } What = Kind::Data;
  std::vector<std::uint8_t> Data;  // for Data: at most the request's wLength
  unsigned DelayMs = 0;            // wait this long before answering
};

// The vendor requests a switch knows.
enum : std::uint8_t {
  ReqGetState = 0,
  ReqSetState = 1,
  ReqGetVersion = 4,
  ReqGetKind = 5,
  ReqGetName = 6,
};

class VirtualSwitch {
 public:
  explicit VirtualSwitch(SwitchSettings settings);

  // Decides the answer to one request and applies its effect on the state.
  // A refused or unbinding request leaves the state as it was.
  Reply Answer(const SetupPacket& setup);

  bool On() const { return On_; }
  const SwitchSettings& Settings() const { return Settings_; }

 private:
  std::optional<Fault> TakeFault(int request);

  SwitchSettings Settings_;
  bool On_;
};

// Formats a setup packet the way usbmon shows it: "c0 04 0000 0000 0008".
std::string FormatSetup(const SetupPacket& setup);

// Command-line parsing. On error returns false and sets error to one line.
struct Options {
  SwitchSettings Switch;
  std::string FfsDir;      // FunctionFS mount to serve
  std::string Udc;         // when set, the program builds and binds the gadget
  std::string GadgetName;  // configfs gadget directory name
  std::string StateFile;
  std::string LogFile;  // empty: standard error
  bool Help = false;
};

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
bool ParseFault(const std::string& text, Fault& fault);
bool ParseHex(const std::string& text, std::string& bytes);

extern const char* const UsageText;

}  // namespace velorin_sim
