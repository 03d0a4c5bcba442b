#include "diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_text.h"
#include "protocol.h"

namespace velorin {

bool DiagnosticsWanted() {
  static const bool wanted = [] {
    const char* value = std::getenv("VELORIN_DEBUG");
    return value != nullptr && std::string_view(value) == "1";
  }();
  return wanted;
}

void Diagnose(std::initializer_list<std::string_view> pieces) {
  if (!DiagnosticsWanted()) return;
  std::string line = "velorin: ";
  for (std::string_view piece : pieces) line += piece;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

std::string ErrorText(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

void DiagnoseNoneTaken(bool seen, std::string_view wanted) {
  if (seen) {
    Diagnose({"no usable switch has the serial number ", Showable(wanted)});
  } else {
    Diagnose({"no switch (", kUsbIdText, ") is attached"});
  }
}

}  // namespace velorin
