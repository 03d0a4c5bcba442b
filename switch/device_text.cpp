#include "device_text.h"

namespace velorin {

namespace {

// The length of the control character that starts at text[at]: 1 for a byte
// below 0x20 or 0x7f, 2 for a C1 control encoded in UTF-8 (C2 80 to C2 9F),
// 0 for anything else.
std::size_t ControlLength(std::string_view text, std::size_t at) {
  const auto byte = static_cast<unsigned char>(text[at]);
  if (byte < 0x20 || byte == 0x7F) return 1;
  if (byte == 0xC2 && at + 1 < text.size()) {
    const auto next = static_cast<unsigned char>(text[at + 1]);
    if (next >= 0x80 && next <= 0x9F) return 2;
  }
  return 0;
}

}  // namespace

std::string Showable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t length = ControlLength(text, i);
    if (length == 0) {
      shown.push_back(text[i]);
    } else {
      shown.push_back('?');
      i += length - 1;
    }
  }
  return shown;
}

const char* SerialProblem(std::string_view serial) {
  static const std::string tooLong =
      "serial number rejected: longer than " + std::to_string(kMaxSerialBytes) + " bytes";
  if (serial.empty()) return "serial number rejected: empty";
  if (serial.size() > kMaxSerialBytes) return tooLong.c_str();
  for (std::size_t i = 0; i < serial.size(); ++i) {
    if (ControlLength(serial, i) != 0) return "serial number rejected: holds a control byte";
  }
  return nullptr;
}

}  // namespace velorin
