// The four commands of the tray menu and the About box.
#pragma once

#include <windows.h>

// Restart's pause for the ended instances to go before the agent is started again.
const DWORD kBeforeLaunchPauseMs = 1000;
// Restart's and Stop's pause for the agent's change to settle before the box tells of it.
const DWORD kBeforeBoxPauseMs = 500;

// Carries out About, Close, Restart or Stop; returns 0.
int RunMonitorCommand(HWND window, int command);

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// True for the four command numbers RunMonitorCommand carries out.
bool IsMonitorCommand(int command);
