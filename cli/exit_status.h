// Result codes of one run; each is also the process exit status.
#pragma once

enum TResultCode : int {
  rcSuccess = 0,
  rcNoSerialNumber = 1,  // a switch action was asked without /N=
  rcInvalidValue = 2,    // /S= was not on, off or query
  rcSwitchFailed = 3,    // the switch is not installed or did not answer
  rcOutputFailed = 4,    // standard output could not be written
};
