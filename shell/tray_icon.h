// The program's one notification-area icon and its two looks.
#pragma once

#include <windows.h>
#include <shellapi.h>

enum TrayPresentation {
    kTrayRunning,
    kTrayStopped,
};

extern HINSTANCE g_hInstance;
extern NOTIFYICONDATAW g_trayIcon;

// The tray callback message the shell sends to the monitor window.
const UINT WM_TRAYCALLBACK = WM_USER + 1;

// Fills g_trayIcon for a look with the given tooltip and adds it to the tray.
void AddTrayIcon(HWND window, TrayPresentation presentation, const wchar_t* tooltip);

// Replaces the shown icon by the given look: deleted and added, never modified.
void ShowTrayPresentation(HWND window, TrayPresentation presentation);

// The look the icon has now.
TrayPresentation CurrentTrayPresentation();
