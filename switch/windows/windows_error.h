// Windows' own text for one of its error codes (GetLastError, LSTATUS).
#pragma once

#include <string>

namespace velorin {

// The system's message without its closing line break, or "error N" where
// it has none.
std::string WindowsErrorText(unsigned long code);

}  // namespace velorin
