#include "diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace velorin
