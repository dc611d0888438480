#include "monitor_window.h"

#include "monitor_commands.h"
#include "tray_menu.h"
#include "tray_icon.h"

UINT g_taskbarCreatedMessage = 0;

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Registered at run time, so it cannot be a case label. Without this the
    // icon, the only way to reach the program, would be gone after a shell restart.
    if (message == g_taskbarCreatedMessage && message != 0) {
        ShowTrayPresentation(window, CurrentTrayPresentation());
        return 0;
    }
    switch (message) {
    case WM_COMMAND:
        if (IsMonitorCommand(LOWORD(wParam))) {
            return RunMonitorCommand(window, LOWORD(wParam));
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_TRAYCALLBACK:
        if (LOWORD(lParam) == WM_RBUTTONDOWN) {
            return ShowTrayMenu(window);
        }
        return 0;
    case WM_COPYDATA: {
        // Another program's message: a missing record is ignored, not read.
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (data != NULL && data->dwData == COPYDATA_AGENT_STARTED) {
            Sleep(kIconSwitchPauseMs);
            ShowTrayPresentation(window, kTrayRunning);
        }
        return 0;
    }
    case WM_TIMER:
        if (wParam == kTrayRetryTimer) {
            RetryTrayIcon(window);
        }
        return 0;
    case WM_NCCALCSIZE:
        // The window is never shown, so it has no frame or menu bar to lay
        // out. Left to the default, the class menu's Chinese items are
        // measured at creation, which under Wine loads a CJK font into the
        // process (about 2 MB) that nobody ever sees.
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        // However the window ends, no dead icon is left in the tray.
        Shell_NotifyIconW(NIM_DELETE, &g_trayIcon);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
