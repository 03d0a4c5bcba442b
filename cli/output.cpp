#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device_text.h"
#include "texts.h"

namespace {

// The error of the first write that failed, or 0.
int writeError = 0;

void NoteFailure() {
  if (writeError == 0) writeError = errno != 0 ? errno : EIO;
}

}  // namespace

void Print(std::string_view piece) {
  if (piece.empty()) return;
  errno = 0;
  if (std::fwrite(piece.data(), 1, piece.size(), stdout) != piece.size()) NoteFailure();
}

void PrintOutsideText(std::string_view text) { Print(velorin::Showable(text)); }

bool FinishOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) NoteFailure();
  errno = 0;
  if (std::fclose(stdout) != 0) NoteFailure();
  if (writeError == 0) return true;
  const char* reason = std::strerror(writeError);
  std::fwrite(text::kCannotWriteOutput.data(), 1, text::kCannotWriteOutput.size(), stderr);
  std::fwrite(reason, 1, std::strlen(reason), stderr);
  std::fwrite("\n", 1, 1, stderr);
  return false;
}
