#include "help.h"

#include "exit_status.h"
#include "output.h"
#include "texts.h"

void PrintHelpScreen() {
  Print(text::kNewLine);
  Print(text::kTitle);
  Print(text::kNewLine);
  Print(text::kVersionLabel);
  Print(text::kVersion);
  Print(text::kNewLine);
  Print(text::kMakerNotice);
  Print(text::kNewLine);
  Print(text::kNewLine);
  for (std::string_view line : text::kHelpParameters) Print(line);
  Print(text::kNewLine);
}

void PrintErrorBlock(int result) {
  std::string_view message;
  switch (result) {
    case rcNoSerialNumber: message = text::kErrorNoSerialNumber; break;
    case rcInvalidValue: message = text::kErrorInvalidValue; break;
    case rcSwitchFailed: message = text::kErrorSwitchFailed; break;
    default: return;
  }
  Print(text::kNewLine);
  Print(message);
  Print(text::kNewLine);
}
