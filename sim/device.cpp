#include "device.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

namespace velorin_sim {

namespace {

constexpr std::size_t NameSize = 32;
constexpr std::size_t WordReplySize = 8;

template <typename T>
bool ParseNumber(const std::string& text, T& out, int base = 10) {
  if (text.empty()) return false;
  const char* first = text.data();
  const char* last = first + text.size();
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) first += 2;
  auto [ptr, ec] = std::from_chars(first, last, out, base);
  return ec == std::errc() && ptr == last;
}

bool ParseVersion(const std::string& text, SwitchSettings& s) {
  const auto dot = text.find('.');
  if (dot == std::string::npos) return false;
  return ParseNumber(text.substr(0, dot), s.Major) && ParseNumber(text.substr(dot + 1), s.Minor);
}

}  // namespace

VirtualSwitch::VirtualSwitch(SwitchSettings settings) : Settings_(std::move(settings)), On_(Settings_.On) {}

std::optional<Fault> VirtualSwitch::TakeFault(int request) {
  for (auto& fault : Settings_.Faults) {
    if (fault.Remaining == 0) continue;
    if (fault.Request != -1 && fault.Request != request) continue;
    if (fault.Remaining > 0) --fault.Remaining;
    return fault;
  }
  return std::nullopt;
}

Reply VirtualSwitch::Answer(const SetupPacket& setup) {
  Reply reply;
  const bool vendorIn = (setup.RequestType & 0x80) != 0 && (setup.RequestType & 0x60) == 0x40;
  const bool known = setup.Request == ReqGetState || setup.Request == ReqSetState || setup.Request == ReqGetVersion ||
                     setup.Request == ReqGetKind || setup.Request == ReqGetName;
  if (!vendorIn || !known) {
    reply.What = Reply::Kind::Stall;
    return reply;
  }

  const auto fault = TakeFault(setup.Request);
  if (fault && fault->Action == FaultAction::Stall) {
    reply.What = Reply::Kind::Stall;
    return reply;
  }
  if (fault && fault->Action == FaultAction::Unbind) {
    reply.What = Reply::Kind::Unbind;
    return reply;
  }

  std::vector<std::uint8_t> data(WordReplySize, 0);
  switch (setup.Request) {
    case ReqGetState: data[0] = On_ ? 1 : 0; break;
    case ReqSetState:
      // The switch takes the new state even when its answer comes too late.
      On_ = setup.Value != 0;
      data[0] = On_ ? 1 : 0;
      break;
    case ReqGetVersion:
      data[0] = Settings_.Minor;
      data[1] = Settings_.Major;
      data[2] = static_cast<std::uint8_t>(Settings_.Aux & 0xff);
      data[3] = static_cast<std::uint8_t>(Settings_.Aux >> 8);
      break;
    case ReqGetKind: data[0] = Settings_.Kind; break;
    case ReqGetName:
      // A name shorter than 32 bytes ends with zeros; one of 32 bytes has none.
      data.assign(NameSize, 0);
      std::copy_n(Settings_.Name.begin(), std::min(Settings_.Name.size(), NameSize), data.begin());
      break;
  }
  if (data.size() > setup.Length) data.resize(setup.Length);
  if (fault && fault->Action == FaultAction::Short && data.size() > fault->Arg) data.resize(fault->Arg);
  if (fault && fault->Action == FaultAction::Delay) reply.DelayMs = fault->Arg;
  reply.Data = std::move(data);
  return reply;
}

std::string FormatSetup(const SetupPacket& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%02x %02x %04x %04x %04x", s.RequestType, s.Request, s.Value, s.Index, s.Length);
  return text;
}

// REQ:ACTION[=ARG][:COUNT], REQ a request number or '*' for all.
bool ParseFault(const std::string& text, Fault& fault) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string req = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  fault = Fault{};
  if (req == "*") {
    fault.Request = -1;
  } else if (!ParseNumber(req, fault.Request) || fault.Request < 0 || fault.Request > 255) {
    return false;
  }
  const auto countAt = rest.find(':');
  if (countAt != std::string::npos) {
    if (!ParseNumber(rest.substr(countAt + 1), fault.Remaining) || fault.Remaining < 1) return false;
    rest.resize(countAt);
  }
  std::string action = rest;
  std::string arg;
  const auto eq = rest.find('=');
  if (eq != std::string::npos) {
    action = rest.substr(0, eq);
    arg = rest.substr(eq + 1);
  }
  if (action == "stall" || action == "unbind") {
    fault.Action = action == "stall" ? FaultAction::Stall : FaultAction::Unbind;
    return arg.empty() && eq == std::string::npos;
  }
  if (action == "delay") {
    fault.Action = FaultAction::Delay;
    return ParseNumber(arg, fault.Arg);
  }
  if (action == "short") {
    fault.Action = FaultAction::Short;
    return ParseNumber(arg, fault.Arg);
  }
  return false;
}

bool ParseHex(const std::string& text, std::string& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned byte = 0;
    if (!ParseNumber(text.substr(i, 2), byte, 16)) return false;
    bytes.push_back(static_cast<char>(byte));
  }
  return true;
}

const char* const UsageText =
    "usage: velorin-sim [options]\n"
    "Serves one virtual switch on a FunctionFS mount.\n"
    "\n"
    "Where it runs (one of):\n"
    "  --ffs DIR            serve the FunctionFS mounted at DIR; the gadget and\n"
    "                       its binding are made by hand\n"
    "  --udc NAME           build a configfs gadget, mount its FunctionFS (at the\n"
    "                       --ffs DIR if given), bind it to the UDC NAME\n"
    "                       (e.g. dummy_udc.0); all undone on exit\n"
    "  --gadget NAME        configfs gadget directory name (default velorin-<udc>)\n"
    "The switch:\n"
    "  --serial TEXT        serial number, string index 3 (default VS000001)\n"
    "  --no-serial          the gadget carries no serial number string\n"
    "  --version MAJ.MIN    firmware version (default 1.0)\n"
    "  --aux N              third and fourth version bytes (default 0)\n"
    "  --kind N             device kind, 0-255 (default 2)\n"
    "  --name TEXT          name, at most 32 bytes (default \"Virtual switch\")\n"
    "  --name-hex HEX       name given as hexadecimal bytes\n"
    "  --state on|off       state at start (default off)\n"
    "  --bcd 0xNNNN         bcdDevice (default 0x0100)\n"
    "Misbehaviour (repeatable; the first matching fault applies):\n"
    "  --fault REQ:ACTION[:COUNT]   REQ a request number or '*';\n"
    "      ACTION stall | delay=MS | short=BYTES | unbind; COUNT limits how\n"
    "      often it applies\n"
    "Output:\n"
    "  --state-file PATH    holds \"on\" or \"off\", rewritten on every change\n"
    "  --log PATH           request log (default standard error)\n";

bool ParseOptions(const std::vector<std::string>& args, Options& o, std::string& error) {
  auto& s = o.Switch;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = "option " + a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      o.Help = true;
    } else if (a == "--no-serial") {
      s.HasSerial = false;
    } else if (a == "--ffs" || a == "--udc" || a == "--gadget" || a == "--state-file" || a == "--log" ||
               a == "--serial" || a == "--name") {
      if (!value(v)) return false;
      if (a == "--ffs") o.FfsDir = v;
      else if (a == "--udc") o.Udc = v;
      else if (a == "--gadget") o.GadgetName = v;
      else if (a == "--state-file") o.StateFile = v;
      else if (a == "--log") o.LogFile = v;
      else if (a == "--serial") s.Serial = v;
      else s.Name = v;
    } else if (a == "--name-hex") {
      if (!value(v)) return false;
      if (!ParseHex(v, s.Name)) {
        error = "bad hexadecimal name: " + v;
        return false;
      }
    } else if (a == "--version") {
      if (!value(v)) return false;
      if (!ParseVersion(v, s)) {
        error = "bad version (MAJOR.MINOR, each 0-255): " + v;
        return false;
      }
    } else if (a == "--aux") {
      if (!value(v)) return false;
      if (!ParseNumber(v, s.Aux)) {
        error = "bad aux value: " + v;
        return false;
      }
    } else if (a == "--kind") {
      if (!value(v)) return false;
      if (!ParseNumber(v, s.Kind)) {
        error = "bad kind (0-255): " + v;
        return false;
      }
    } else if (a == "--state") {
      if (!value(v)) return false;
      if (v != "on" && v != "off") {
        error = "bad state (on or off): " + v;
        return false;
      }
      s.On = v == "on";
    } else if (a == "--bcd") {
      if (!value(v)) return false;
      if (!ParseNumber(v, s.BcdDevice, 16)) {
        error = "bad bcdDevice: " + v;
        return false;
      }
    } else if (a == "--fault") {
      if (!value(v)) return false;
      Fault fault;
      if (!ParseFault(v, fault)) {
        error = "bad fault: " + v;
        return false;
      }
      s.Faults.push_back(fault);
    } else {
      error = "unknown option: " + a;
      return false;
    }
  }
  if (o.Help) return true;
  if (s.Name.size() > NameSize) {
    error = "name longer than 32 bytes";
    return false;
  }
  if (o.FfsDir.empty() && o.Udc.empty()) {
    error = "give --ffs DIR or --udc NAME";
    return false;
  }
  if (o.GadgetName.empty() && !o.Udc.empty()) o.GadgetName = "velorin-" + o.Udc;
  return true;
}

}  // namespace velorin_sim
