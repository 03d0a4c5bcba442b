// Commands on one switch take turns on Windows through a named mutex per
// switch (platform.h's TurnLine names it). A waiting command blocks on it for
// at most the wait given; Windows hands the mutex over when its holder ends,
// even when it ended without releasing it.
#include <windows.h>

#include <chrono>

#include "diagnostics.h"
#include "switch_turn.h"
#include "windows_error.h"

namespace velorin {

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TTurnOutcome TSwitchTurn::Take(const std::string& line, const std::string& where, int waitMs) {
  Release();
  HANDLE mutex = CreateMutexA(nullptr, FALSE, line.c_str());
  if (mutex == nullptr) {
    // Made by another user who gave this one no access: no line to wait in.
    Diagnose({where, ": no line to wait in: ", WindowsErrorText(GetLastError())});
    return TTurnOutcome::NoLine;
  }
  const Clock::time_point start = Clock::now();
  DWORD result = WaitForSingleObject(mutex, 0);
  const bool waited = result == WAIT_TIMEOUT;
  if (waited) result = WaitForSingleObject(mutex, static_cast<DWORD>(waitMs));
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    Lock = reinterpret_cast<std::intptr_t>(mutex);
    if (waited) Diagnose({where, ": waited ", std::to_string(MsSince(start)), " ms in line for its turn"});
    return TTurnOutcome::Taken;
  }
  const DWORD error = GetLastError();
  CloseHandle(mutex);
  if (result != WAIT_TIMEOUT) {
    Diagnose({where, ": no line to wait in: ", WindowsErrorText(error)});
    return TTurnOutcome::NoLine;
  }
  Diagnose({where, ": not its turn within ", std::to_string(waitMs / 1000), " s (other velorin commands hold it)"});
  return TTurnOutcome::TooLong;
}

TTurnTry TSwitchTurn::Try(const std::string& line) {
  Release();
  HANDLE mutex = CreateMutexA(nullptr, FALSE, line.c_str());
  if (mutex == nullptr) return TTurnTry::NoLine;
  const DWORD result = WaitForSingleObject(mutex, 0);
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    Lock = reinterpret_cast<std::intptr_t>(mutex);
    return TTurnTry::Taken;
  }
  CloseHandle(mutex);
  return result == WAIT_TIMEOUT ? TTurnTry::Held : TTurnTry::NoLine;
}

void TSwitchTurn::Release() {
  if (Lock == kNoLock) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(Lock);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  Lock = kNoLock;
}

}  // namespace velorin
