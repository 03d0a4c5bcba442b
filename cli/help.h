// The help screen and the error blocks.
#pragma once

void PrintHelpScreen();
// Prints the block for result code 1, 2 or 3; nothing for any other code.
void PrintErrorBlock(int result);
