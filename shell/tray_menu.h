// The tray icon's right-button menu.
#pragma once

#include <windows.h>

extern HMENU g_hPopupMenu;

// Shows the tray menu at the cursor; returns 1.
int ShowTrayMenu(HWND window);
