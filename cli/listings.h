// The lists of installed switches (/L) and of those that answer now (/A).
#pragma once

void ListInstalledSwitches();
void ListAvailableSwitches();
