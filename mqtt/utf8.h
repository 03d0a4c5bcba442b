// UTF-8 as the broker and the journal take it: what is well-formed, and how
// text that is not is made so.
#pragma once

#include <string>
#include <string_view>

namespace velorin::mqtt {

// True for well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view text);

// The text with each byte that does not start a well-formed sequence
// replaced by U+FFFD, as a JSON payload shows it.
std::string ToUtf8(std::string_view text);

}  // namespace velorin::mqtt
