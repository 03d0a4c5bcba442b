#include "topics.h"

#include "device_text.h"
#include "utf8.h"

namespace velorin::mqtt {

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

std::optional<std::string> TTopics::SerialOf(std::string_view topic, std::string_view leaf) const {
  // BASE/SERIAL/LEAF, SERIAL one level.
  if (topic.size() <= Base.size() + 2 + leaf.size() || !topic.starts_with(Base) || topic[Base.size()] != '/' ||
      !topic.ends_with(leaf) || topic[topic.size() - leaf.size() - 1] != '/') {
    return std::nullopt;
  }
  const std::string_view serial = topic.substr(Base.size() + 1, topic.size() - Base.size() - 2 - leaf.size());
  if (serial.empty() || serial.find('/') != std::string_view::npos) return std::nullopt;
  return std::string(serial);
}

std::optional<std::string> TTopics::SwitchTopicSerial(std::string_view topic) const {
  for (const char* leaf : kSwitchLeaves) {
    if (std::optional<std::string> serial = SerialOf(topic, leaf)) return serial;
  }
  return std::nullopt;
}

std::optional<std::string> TTopics::ConfigObjectId(std::string_view topic) const {
  const std::string prefix = Prefix + "/switch/";
  constexpr std::string_view kLeaf = "/config";
  if (!topic.starts_with(prefix + "velorin_") || !topic.ends_with(kLeaf)) return std::nullopt;
  const std::string_view id = topic.substr(prefix.size(), topic.size() - prefix.size() - kLeaf.size());
  if (id.find('/') != std::string_view::npos) return std::nullopt;
  return std::string(id);
}

}  // namespace velorin::mqtt
