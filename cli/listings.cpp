#include "listings.h"

#include "inventory.h"
#include "output.h"
#include "protocol.h"
#include "texts.h"
#include "velorin.h"

void ListInstalledSwitches() {
  Print(text::kNewLine);
  Print(text::kInstalledHeader);
  if (InstalledSwitches.empty()) Print(text::kNone);
  for (const std::string& serial : InstalledSwitches) {
    PrintOutsideText(serial);
    Print(text::kNewLine);
  }
  Print(text::kNewLine);
}

void ListAvailableSwitches() {
  Print(text::kNewLine);
  Print(text::kAvailableHeader);
  {
    // One connection for every entry: each Open starts by closing the last one.
    TVelorin connection;
    if (InstalledSwitches.empty()) Print(text::kNone);
    for (const std::string& serial : InstalledSwitches) {
      if (!connection.Open(serial)) continue;
      Print(text::kEntryOpen);
      PrintOutsideText(serial);
      Print(text::kEntryClose);
      if (connection.GetKind() == velorin::kKindNamed) PrintOutsideText(connection.GetName());
      Print(text::kNewLine);
      connection.Close();
    }
  }
  Print(text::kNewLine);
}
