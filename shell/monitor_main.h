// The program's start-up: the DLL-search restriction, then the monitor itself.
#pragma once

#include <windows.h>

// The program's own entry; returns the exit code.
int MonitorMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand);

// Keeps DLLs loaded by name out of the program's and the current folder
// where the system allows it; the first thing the program does.
void RestrictDllSearch();
