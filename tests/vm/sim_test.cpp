// The virtual switch's answers, faults and options, checked on the host
// (the bench checks the same program against a real kernel).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device.hpp"
#include "gadget.hpp"

using namespace velorin_sim;
using Bytes = std::vector<std::uint8_t>;

namespace {

SetupPacket In(std::uint8_t request, std::uint16_t value = 0, std::uint16_t length = 8) {
  return SetupPacket{0xc0, request, value, 0, length};
}

SwitchSettings Named(const std::string& name) {
  SwitchSettings s;
  s.Name = name;
  return s;
}

Bytes Padded(const std::string& text, std::size_t size) {
  Bytes out(text.begin(), text.end());
  out.resize(size, 0);
  return out;
}

struct AnswerCase {
  const char* What;
  SwitchSettings Settings;
  SetupPacket Request;
  Reply::Kind Kind;
  Bytes Data;
  bool OnAfter;
};

TEST(VirtualSwitchTest, AnswersEachRequest) {
  SwitchSettings v1255;
  v1255.Major = 1;
  v1255.Minor = 255;
  v1255.Aux = 0x1234;
  SwitchSettings on;
  on.On = true;
  SwitchSettings kind3;
  kind3.Kind = 3;
  const std::string name32 = "Thirty-two byte name of switch 3";
  // clang-format off
  const std::vector<AnswerCase> cases = {
      {"state off", {}, In(0), Reply::Kind::Data, {0, 0, 0, 0, 0, 0, 0, 0}, false},
      {"state on", on, In(0), Reply::Kind::Data, {1, 0, 0, 0, 0, 0, 0, 0}, true},
      {"set on", {}, In(1, 1), Reply::Kind::Data, {1, 0, 0, 0, 0, 0, 0, 0}, true},
      {"set off", on, In(1, 0), Reply::Kind::Data, {0, 0, 0, 0, 0, 0, 0, 0}, false},
      {"version minor, major, aux low, aux high", v1255, In(4), Reply::Kind::Data,
       {255, 1, 0x34, 0x12, 0, 0, 0, 0}, false},
      {"kind", kind3, In(5), Reply::Kind::Data, {3, 0, 0, 0, 0, 0, 0, 0}, false},
      {"short name ends in zeros", Named("Desk lamp 100%"), In(6, 0, 32), Reply::Kind::Data,
       Padded("Desk lamp 100%", 32), false},
      {"32-byte name has no zero", Named(name32), In(6, 0, 32), Reply::Kind::Data, Padded(name32, 32), false},
      {"reply cut to wLength", Named(name32), In(6, 0, 4), Reply::Kind::Data, Padded("Thir", 4), false},
      {"OUT request stalls", {}, SetupPacket{0x40, 1, 1, 0, 0}, Reply::Kind::Stall, {}, false},
      {"standard request stalls", {}, SetupPacket{0x80, 0, 0, 0, 2}, Reply::Kind::Stall, {}, false},
      {"unknown vendor request stalls", {}, In(2), Reply::Kind::Stall, {}, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    VirtualSwitch sw(c.Settings);
    const Reply r = sw.Answer(c.Request);
    EXPECT_EQ(r.What, c.Kind) << c.What;
    EXPECT_EQ(r.Data, c.Data) << c.What;
    EXPECT_EQ(r.DelayMs, 0u) << c.What;
    EXPECT_EQ(sw.On(), c.OnAfter) << c.What;
  }
}

TEST(VirtualSwitchTest, FaultsApplyToTheirRequestAndCount) {
  struct Case {
    const char* What;
    std::vector<std::string> Faults;
    std::vector<SetupPacket> Requests;
    std::vector<Reply::Kind> Kinds;
    std::vector<std::size_t> Sizes;
    std::vector<unsigned> Delays;
    bool OnAfter;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"stalled set-state keeps the state", {"1:stall"}, {In(1, 1), In(0)},
       {Reply::Kind::Stall, Reply::Kind::Data}, {0, 8}, {0, 0}, false},
      {"late set-state still switches", {"1:delay=1500"}, {In(1, 1)}, {Reply::Kind::Data}, {8}, {1500}, true},
      {"short reply", {"0:short=0", "6:short=3"}, {In(0), In(6, 0, 32), In(5)},
       {Reply::Kind::Data, Reply::Kind::Data, Reply::Kind::Data}, {0, 3, 8}, {0, 0, 0}, false},
      {"count limits a fault", {"4:stall:1"}, {In(4), In(4)}, {Reply::Kind::Stall, Reply::Kind::Data}, {0, 8},
       {0, 0}, false},
      {"'*' matches every request", {"*:stall"}, {In(4), In(5)}, {Reply::Kind::Stall, Reply::Kind::Stall}, {0, 0},
       {0, 0}, false},
      {"first matching fault wins", {"5:short=1:1", "5:stall"}, {In(5), In(5)},
       {Reply::Kind::Data, Reply::Kind::Stall}, {1, 0}, {0, 0}, false},
      {"unbind instead of set-state", {"1:unbind"}, {In(1, 1)}, {Reply::Kind::Unbind}, {0}, {0}, false},
      {"other requests unaffected", {"1:stall"}, {In(4)}, {Reply::Kind::Data}, {8}, {0}, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    SwitchSettings s;
    for (const auto& text : c.Faults) {
      Fault f;
      ASSERT_TRUE(ParseFault(text, f)) << text;
      s.Faults.push_back(f);
    }
    VirtualSwitch sw(s);
    for (std::size_t i = 0; i < c.Requests.size(); ++i) {
      const Reply r = sw.Answer(c.Requests[i]);
      EXPECT_EQ(r.What, c.Kinds[i]) << c.What << " #" << i;
      EXPECT_EQ(r.Data.size(), c.Sizes[i]) << c.What << " #" << i;
      EXPECT_EQ(r.DelayMs, c.Delays[i]) << c.What << " #" << i;
    }
    EXPECT_EQ(sw.On(), c.OnAfter) << c.What;
  }
}

TEST(VirtualSwitchTest, ParsesFaultsAndRejectsMalformedOnes) {
  const std::vector<std::string> bad = {
      "",        "1",         "1:",       "x:stall",   "256:stall", "-1:stall", "1:stall=3",
      "1:delay", "1:delay=x", "1:short=", "1:explode", "1:stall:0", "1:stall:x"};
  for (const auto& text : bad) {
    Fault f;
    EXPECT_FALSE(ParseFault(text, f)) << text;
  }
  Fault f;
  ASSERT_TRUE(ParseFault("6:short=0:2", f));
  EXPECT_EQ(f.Request, 6);
  EXPECT_EQ(f.Action, FaultAction::Short);
  EXPECT_EQ(f.Arg, 0u);
  EXPECT_EQ(f.Remaining, 2);
}

TEST(VirtualSwitchTest, ParsesOptions) {
  struct Case {
    std::vector<std::string> Args;
    bool Ok;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {{"--udc", "dummy_udc.0"}, true},
      {{"--ffs", "/run/ffs"}, true},
      {{}, false},
      {{"--udc"}, false},
      {{"--udc", "u", "--name", "123456789012345678901234567890123"}, false},
      {{"--udc", "u", "--version", "2"}, false},
      {{"--udc", "u", "--version", "1.256"}, false},
      {{"--udc", "u", "--kind", "256"}, false},
      {{"--udc", "u", "--state", "maybe"}, false},
      {{"--udc", "u", "--name-hex", "4"}, false},
      {{"--udc", "u", "--bogus"}, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    Options o;
    std::string error;
    EXPECT_EQ(ParseOptions(c.Args, o, error), c.Ok) << (c.Args.empty() ? "(none)" : c.Args.back()) << ": " << error;
  }
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--udc", "dummy_udc.2", "--serial", "VS%00001", "--version", "1.255", "--kind", "1",
                            "--name-hex", "41254200ff", "--state", "on", "--bcd", "0x0201", "--no-serial"},
                           o, error))
      << error;
  EXPECT_EQ(o.GadgetName, "velorin-dummy_udc.2");
  EXPECT_EQ(o.Switch.Serial, "VS%00001");
  EXPECT_FALSE(o.Switch.HasSerial);
  EXPECT_EQ(o.Switch.Major, 1);
  EXPECT_EQ(o.Switch.Minor, 255);
  EXPECT_EQ(o.Switch.Kind, 1);
  EXPECT_EQ(o.Switch.Name, std::string("A%B\0\xff", 5));
  EXPECT_TRUE(o.Switch.On);
  EXPECT_EQ(o.Switch.BcdDevice, 0x0201);
}

TEST(VirtualSwitchTest, FunctionFsBlobsCarryTheirOwnLength) {
  const Bytes d = FunctionDescriptors();
  const Bytes want = {3, 0, 0, 0, 38, 0, 0,    0, 0x43, 0, 0, 0, 1, 0, 0, 0,    1, 0, 0,
                      0, 9, 4, 0, 0,  0, 0xff, 0, 0,    1, 9, 4, 0, 0, 0, 0xff, 0, 0, 1};
  EXPECT_EQ(d, want);
  const Bytes s = FunctionStrings();
  ASSERT_GE(s.size(), 18u);
  EXPECT_EQ(s[0], 2);
  EXPECT_EQ(s[4], s.size());
  EXPECT_EQ(s.back(), 0);
}

}  // namespace
