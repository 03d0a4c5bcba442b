// velorin: switches a USB switch on or off, reports its state, lists switches.
#include "commands.h"
#include "exit_status.h"
#include "help.h"
#include "inventory.h"
#include "listings.h"
#include "options.h"
#include "output.h"

int main(int argc, char** argv) {
  int result = ParseCommandLine(argc, argv);
  ScanInstalledSwitches();

  if (result == rcSuccess) {
    if (CommandOptions.ListInstalled) ListInstalledSwitches();
    if (CommandOptions.ListAvailable) ListAvailableSwitches();
    if (CommandOptions.Mode == smOff || CommandOptions.Mode == smOn) {
      if (!SwitchCommand(CommandOptions.SerialNumber, CommandOptions.Mode == smOn)) result = rcSwitchFailed;
    } else if (CommandOptions.Mode == smQuery) {
      if (!QueryCommand(CommandOptions.SerialNumber)) result = rcSwitchFailed;
    }
  }

  PrintErrorBlock(result);
  if (CommandOptions.ShowHelp) PrintHelpScreen();
  // Lost output outweighs every other result: a script must not take a run
  // it could not read for success (a switch command may still have acted).
  if (!FinishOutput()) result = rcOutputFailed;
  return result;
}
