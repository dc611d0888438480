// The tray menu and the four commands it offers.
#pragma once

#include <windows.h>

extern HMENU g_hPopupMenu;

// Shows the tray menu at the cursor; returns 1.
int ShowTrayMenu(HWND window);

// Carries out About, Close, Restart or Stop; returns 0.
int RunMonitorCommand(HWND window, int command);

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// True for the four command numbers RunMonitorCommand carries out.
bool IsMonitorCommand(int command);
