// The bridge's log: one line per event on standard error, which the journal
// keeps. Text from outside is passed through the tool's text filter first.
#pragma once

#include <chrono>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

namespace velorin::mqtt {

// Writes "velorin-mqtt: ", the pieces and a line break in one write, so that
// lines from the network thread and the main thread never mix.
void Log(std::initializer_list<std::string_view> pieces);

// Text from outside, bounded and made harmless for the log, in quotes: a
// control character as '?', a byte that is not UTF-8 as U+FFFD.
std::string Quoted(std::string_view text, std::size_t shown = 64);

// Lets a kind of event through at most once a minute and counts the rest,
// so that a flood of bad messages cannot flood the journal.
class TThrottle {
 public:
  explicit TThrottle(std::chrono::seconds every = std::chrono::seconds(60)) : Every(every) {}
  // Logs the pieces when due, with the number of events held back since.
  void Log(std::initializer_list<std::string_view> pieces);

 private:
  std::mutex Mutex;
  std::chrono::seconds Every;
  std::chrono::steady_clock::time_point Last{};
  bool Any = false;
  long Held = 0;
};

}  // namespace velorin::mqtt
