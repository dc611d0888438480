// The hidden monitor window: start-up, its procedure and the message loop.
#pragma once

#include <windows.h>

// The copy-data word that the agent is running.
const ULONG_PTR COPYDATA_AGENT_STARTED = 1;

// The shell's broadcast after its notification area was re-created.
extern UINT g_taskbarCreatedMessage;

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The program's own entry; returns the exit code.
int MonitorMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand);

// Keeps DLLs loaded by name out of the program's and the current folder
// where the system allows it; the first thing the program does.
void RestrictDllSearch();
