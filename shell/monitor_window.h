// The hidden monitor window's procedure.
#pragma once

#include <windows.h>

// The copy-data word that the agent is running.
const ULONG_PTR COPYDATA_AGENT_STARTED = 1;

// The shell's broadcast after its notification area was re-created.
extern UINT g_taskbarCreatedMessage;

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
