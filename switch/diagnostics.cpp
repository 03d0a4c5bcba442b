#include "diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_text.h"
#include "protocol.h"

namespace velorin {

namespace {

thread_local std::string Last;

void Write(std::string_view text) {
  const std::string line = "velorin: " + std::string(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

bool DiagnosticsWanted() {
  static const bool wanted = [] {
    const char* value = std::getenv("VELORIN_DEBUG");
    return value != nullptr && std::string_view(value) == "1";
  }();
  return wanted;
}

void Diagnose(std::initializer_list<std::string_view> pieces) {
  Last.clear();
  for (std::string_view piece : pieces) Last += piece;
  if (DiagnosticsWanted()) Write(Last);
}

const std::string& LastDiagnosis() { return Last; }

std::string ErrorText(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

void DiagnoseNoneTaken(bool seen, std::string_view wanted) {
  if (!DiagnosticsWanted()) return;
  // The closing line sums up; the reason stays the last line's.
  if (seen) {
    Write("no usable switch has the serial number " + Showable(wanted));
  } else {
    Write(std::string("no switch (") + kUsbIdText + ") is attached");
  }
}

}  // namespace velorin
