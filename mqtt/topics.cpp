#include "topics.h"

#include "device_text.h"

namespace velorin::mqtt {

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t value = 0;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if (byte >= 0xC2 && byte <= 0xDF) {
      length = 2, value = byte & 0x1F;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      length = 3, value = byte & 0x0F;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      length = 4, value = byte & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

const char* LevelProblem(std::string_view level) {
  if (level.empty()) return "empty";
  if (level.size() > kMaxSerialBytes) return "longer than 126 bytes";
  if (level.find_first_of("+#/") != std::string_view::npos) return "holds a wildcard or a level separator";
  if (level.find('\0') != std::string_view::npos) return "holds a NUL byte";
  if (!IsUtf8(level)) return "not UTF-8";
  if (Showable(level) != level) return "holds a control character";
  return nullptr;
}

const char* TopicProblem(std::string_view topic) {
  if (topic.size() > kMaxTopicBytes / 2) return "too long";
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = topic.find('/', start);
    const std::string_view level = topic.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (const char* problem = LevelProblem(level)) return problem;
    if (slash == std::string_view::npos) return nullptr;
    start = slash + 1;
  }
}

std::string ObjectId(std::string_view serial) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id = "velorin_";
  for (const char c : serial) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '-') {
      id.push_back(c);
    } else {
      id += {'_', kHex[byte >> 4], kHex[byte & 0xF]};
    }
  }
  return id;
}

std::optional<std::string> TTopics::CommandSerial(std::string_view topic) const {
  constexpr std::string_view kLeaf = "/set";
  if (topic.size() <= Base.size() + 1 + kLeaf.size() || topic.substr(0, Base.size()) != Base ||
      topic[Base.size()] != '/' || topic.substr(topic.size() - kLeaf.size()) != kLeaf) {
    return std::nullopt;
  }
  const std::string_view serial = topic.substr(Base.size() + 1, topic.size() - Base.size() - 1 - kLeaf.size());
  if (serial.find('/') != std::string_view::npos) return std::nullopt;
  return std::string(serial);
}

}  // namespace velorin::mqtt
