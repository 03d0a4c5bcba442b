#include "commands.h"

#include <optional>

#include "output.h"
#include "protocol.h"
#include "texts.h"
#include "velorin.h"

namespace {

// The name a named switch carries, or empty (then it is reported by serial).
std::string NameOf(TVelorin& connection) {
  return connection.GetKind() == velorin::kKindNamed ? connection.GetName() : std::string();
}

void PrintSubject(const std::string& name, const std::string& serial) {
  if (!name.empty()) {
    PrintOutsideText(name);
  } else {
    Print(text::kSwitchWithSerial);
    PrintOutsideText(serial);
  }
}

void PrintFailure(const std::string& serial) {
  // The error block that follows starts with the line break.
  Print(text::kChangingFailedBefore);
  PrintOutsideText(serial);
  Print(text::kChangingFailedAfter);
}

}  // namespace

bool SwitchCommand(const std::string& serial, bool on) {
  std::string name;
  bool success = false;
  {
    TVelorin connection;
    if (!serial.empty() && connection.Open(serial) && connection.SetState(on)) {
      success = true;
      name = NameOf(connection);
    }
  }
  if (!success) {
    PrintFailure(serial);
    return false;
  }
  PrintSubject(name, serial);
  Print(on ? text::kTurnedOn : text::kTurnedOff);
  return true;
}

bool QueryCommand(const std::string& serial) {
  std::string name;
  std::optional<bool> state;
  {
    TVelorin connection;
    if (!serial.empty() && connection.Open(serial)) {
      state = connection.GetState();
      if (state) name = NameOf(connection);
    }
  }
  if (!state) {
    PrintFailure(serial);
    return false;
  }
  PrintSubject(name, serial);
  Print(*state ? text::kIsTurnedOn : text::kIsTurnedOff);
  return true;
}
