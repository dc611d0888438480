// A real hidden window running the monitor's window procedure inside a test program.
#pragma once

#include <windows.h>

// Registers the class on first use; the window is the monitor's but for its title.
HWND NewMonitorWindow(const wchar_t* className);
