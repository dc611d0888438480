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

// The window timer that retries a refused add, set only while the icon is missing.
const UINT_PTR kTrayRetryTimer = 1;

// Fills g_trayIcon for a look with the given tooltip and adds it to the tray;
// when the tray refuses, retries on kTrayRetryTimer for about a minute.
void AddTrayIcon(HWND window, TrayPresentation presentation, const wchar_t* tooltip);

// One retry of a refused add, on kTrayRetryTimer; ends the timer once the icon
// is in place or the retries are used up.
void RetryTrayIcon(HWND window);

// The pause before the icon changes its look, after a box or a peer's message.
const DWORD kIconSwitchPauseMs = 20;

// Replaces the shown icon by the given look: deleted and added, never modified.
void ShowTrayPresentation(HWND window, TrayPresentation presentation);

// The look the icon has now.
TrayPresentation CurrentTrayPresentation();
