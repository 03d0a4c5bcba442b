#include "installed_record.h"

namespace velorin {

std::string RecordPath() { return std::string(kRecordFolder) + "/" + kRecordName; }

std::vector<std::string> RecordLines(std::string_view content) {
  std::vector<std::string> lines;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
  }
  return lines;
}

}  // namespace velorin
