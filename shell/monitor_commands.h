// The four commands of the tray menu and the About box.
#pragma once

#include <windows.h>

// Carries out About, Close, Restart or Stop; returns 0.
int RunMonitorCommand(HWND window, int command);

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// True for the four command numbers RunMonitorCommand carries out.
bool IsMonitorCommand(int command);
