#include "tray_icon.h"

#include <stdlib.h>
#include <wchar.h>

#include "resource.h"

HINSTANCE g_hInstance = NULL;
NOTIFYICONDATAW g_trayIcon = {};

#if defined(_M_IX86) || defined(__i386__)
// The shipped 32-bit program hands the shell the record's documented full size.
static_assert(sizeof(NOTIFYICONDATAW) == 956, "NOTIFYICONDATAW must be 956 bytes");
#endif

namespace {

const wchar_t kRunningTip[] = L"嵐川銀行晶片金融卡安控元件";
const wchar_t kStoppedTip[] = L"嵐川銀行晶片金融卡安控元件已關閉";
// Retries of a refused add: 30 at 2 s, about a minute.
const UINT kTrayRetryMs = 2000;
const int kTrayRetries = 30;

// Retries left while a refused add is being retried; 0 when none is.
int g_trayRetriesLeft = 0;

UINT IconOf(TrayPresentation presentation)
{
    return presentation == kTrayRunning ? IDI_AGENT_RUNNING : IDI_AGENT_STOPPED;
}

void FillRecord(HWND window, TrayPresentation presentation, const wchar_t* tooltip)
{
    g_trayIcon.cbSize = sizeof g_trayIcon;
    g_trayIcon.hWnd = window;
    // The icon's identity changes with its look.
    g_trayIcon.uID = IconOf(presentation);
    g_trayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_trayIcon.uCallbackMessage = WM_TRAYCALLBACK;
    g_trayIcon.hIcon = LoadIconW(g_hInstance, MAKEINTRESOURCEW(IconOf(presentation)));
    wcsncpy_s(g_trayIcon.szTip, _countof(g_trayIcon.szTip), tooltip, _TRUNCATE);
}

// True when the tray holds the icon. Started at logon, the program may find
// the notification area not ready (the add fails, and no "TaskbarCreated"
// follows when the taskbar already existed) or too busy (the add times out
// although the icon was added: only a modify that succeeds tells).
bool PlaceTrayIcon()
{
    return Shell_NotifyIconW(NIM_ADD, &g_trayIcon) || Shell_NotifyIconW(NIM_MODIFY, &g_trayIcon);
}

void EndTrayRetries(HWND window)
{
    g_trayRetriesLeft = 0;
    KillTimer(window, kTrayRetryTimer);
}

}  // namespace

void AddTrayIcon(HWND window, TrayPresentation presentation, const wchar_t* tooltip)
{
    FillRecord(window, presentation, tooltip);
    if (PlaceTrayIcon()) {
        if (g_trayRetriesLeft > 0) {
            EndTrayRetries(window);
        }
    } else if (g_trayRetriesLeft == 0) {
        // A timer, not a wait: the loop keeps serving peers and the menu meanwhile.
        g_trayRetriesLeft = kTrayRetries;
        SetTimer(window, kTrayRetryTimer, kTrayRetryMs, NULL);
    }
}

void RetryTrayIcon(HWND window)
{
    if (g_trayRetriesLeft == 0) {
        return;  // a late tick after the end
    }
    // The record holds the latest look, also when a command changed it meanwhile.
    if (PlaceTrayIcon() || --g_trayRetriesLeft <= 0) {
        EndTrayRetries(window);
    }
}

void ShowTrayPresentation(HWND window, TrayPresentation presentation)
{
    // A command that finishes after Close (its box outlived the window) would
    // add an icon no window answers for and nothing ever removes.
    if (!IsWindow(window)) {
        return;
    }
    g_trayIcon.cbSize = sizeof g_trayIcon;
    g_trayIcon.hWnd = window;
    // The record still holds the shown icon's uID, so this removes whichever look it had.
    Shell_NotifyIconW(NIM_DELETE, &g_trayIcon);
    AddTrayIcon(window, presentation, presentation == kTrayRunning ? kRunningTip : kStoppedTip);
}

TrayPresentation CurrentTrayPresentation()
{
    return g_trayIcon.uID == IDI_AGENT_RUNNING ? kTrayRunning : kTrayStopped;
}
