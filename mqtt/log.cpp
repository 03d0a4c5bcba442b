#include "log.h"

#include <unistd.h>

#include "device_text.h"
#include "utf8.h"

namespace velorin::mqtt {

void Log(std::initializer_list<std::string_view> pieces) {
  std::string line = "velorin-mqtt: ";
  for (std::string_view piece : pieces) line += piece;
  // The journal keeps a line that is not UTF-8 as binary data: whatever
  // slipped past Quoted (a library's message) is made text here.
  line = ToUtf8(line);
  line += '\n';
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t wrote = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (wrote <= 0) return;  // nowhere left to report it
    done += static_cast<std::size_t>(wrote);
  }
}

std::string Quoted(std::string_view text, std::size_t kept) {
  std::string shown = ToUtf8(Showable(text.substr(0, kept)));
  if (text.size() > kept) shown += "... (" + std::to_string(text.size()) + " bytes)";
  return "\"" + shown + "\"";
}

void TThrottle::Log(std::initializer_list<std::string_view> pieces) {
  std::unique_lock lock(Mutex);
  const auto now = std::chrono::steady_clock::now();
  if (Any && now - Last < Every) {
    ++Held;
    return;
  }
  const std::string held = Held > 0 ? " (" + std::to_string(Held) + " more like it not shown)" : "";
  Any = true;
  Last = now;
  Held = 0;
  lock.unlock();
  std::string line;
  for (std::string_view piece : pieces) line += piece;
  velorin::mqtt::Log({line, held});
}

}  // namespace velorin::mqtt
