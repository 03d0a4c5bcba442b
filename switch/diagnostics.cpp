#include "diagnostics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_text.h"
#include "protocol.h"
#include "sysfs.h"

namespace velorin {

namespace {

// The switches attached in sysfs that the USB library did not list, each
// with the reason its node gives. Returns how many there were.
int DiagnoseUnlistedSwitches(const std::set<TUsbNode>& listed) {
  int count = 0;
  for (const std::string& folder : SwitchFolders(kUsbDevicesFolder)) {
    const std::optional<TUsbNode> node = NodeOfFolder(folder);
    if (!node || listed.count(*node) != 0) continue;
    ++count;
    const std::string where = Label(*node);
    Diagnose({where, ": a switch (", kUsbIdText, ")"});
    const int fd = ::open(NodePath(*node).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      Diagnose({where, ": cannot be opened: ", AccessText(errno, *node)});
    } else {
      ::close(fd);
      Diagnose({where, ": not listed by the USB library"});
    }
  }
  return count;
}

}  // namespace

bool DiagnosticsWanted() {
  static const bool wanted = [] {
    const char* value = std::getenv("VELORIN_DEBUG");
    return value != nullptr && std::string_view(value) == "1";
  }();
  return wanted;
}

namespace {

thread_local std::string Last;

void Write(std::string_view text) {
  const std::string line = "velorin: " + std::string(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void Diagnose(std::initializer_list<std::string_view> pieces) {
  Last.clear();
  for (std::string_view piece : pieces) Last += piece;
  if (DiagnosticsWanted()) Write(Last);
}

const std::string& LastDiagnosis() { return Last; }

std::string ErrorText(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

std::string AccessText(int error, const TUsbNode& node) {
  std::string text = ErrorText(error);
  if (error == EACCES || error == EPERM) {
    text += "; the user needs the group " VELORIN_GROUP " or a local seat session for " + NodePath(node);
  }
  return text;
}

void DiagnoseNoSwitchTaken(const std::set<TUsbNode>& listed, std::string_view wanted) {
  if (!DiagnosticsWanted()) return;
  // The closing line sums up; the reason stays the last line's.
  if (!listed.empty() || DiagnoseUnlistedSwitches(listed) > 0) {
    Write("no usable switch has the serial number " + Showable(wanted));
  } else {
    Write(std::string("no switch (") + kUsbIdText + ") is attached");
  }
}

}  // namespace velorin
