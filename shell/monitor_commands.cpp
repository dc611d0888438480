#include "monitor_commands.h"

#include <wchar.h>

#include "agent_process.h"
#include "agent_state.h"
#include "resource.h"
#include "tray_icon.h"

namespace {

const wchar_t kCaption[] = L"嵐川銀行";
const wchar_t kBoxClass[] = L"#32770";

// True from a Restart's or Stop's start until it returns. Its box's modal loop
// keeps serving the tray menu, and a command run inside another would leave the
// file and the icon saying the opposite of what runs.
bool g_commandRunning = false;

void ShowMessage(const wchar_t* text)
{
    MessageBoxW(NULL, text, kCaption, MB_OK);
}

// Brings this thread's command box to the front: the user learns why a second
// command did not run, and that the first one awaits an answer.
BOOL CALLBACK BringBoxToFront(HWND window, LPARAM)
{
    wchar_t className[16];
    wchar_t caption[16];
    ZeroMemory(className, sizeof className);
    ZeroMemory(caption, sizeof caption);
    GetClassNameW(window, className, _countof(className));
    GetWindowTextW(window, caption, _countof(caption));
    if (wcscmp(className, kBoxClass) == 0 && wcscmp(caption, kCaption) == 0) {
        SetForegroundWindow(window);
        return FALSE;
    }
    return TRUE;
}

void RestartAgent(HWND window)
{
    // Only the give-up flag counts: an unreadable process list still leads to a launch.
    StopAgent(kAgentImageName);
    Sleep(kBeforeLaunchPauseMs);
    if (g_stopFailed != 0 || !LaunchAgent()) {
        ShowMessage(L"重啟安控元件失敗,請再重新啟動安控元件");
        return;
    }
    Sleep(kBeforeBoxPauseMs);
    ShowMessage(L"重啟安控元件成功");
    WriteAgentState(kAgentRunning);
    Sleep(kIconSwitchPauseMs);
    ShowTrayPresentation(window, kTrayRunning);
}

void StopAgentCommand(HWND window)
{
    if (StopAgent(kAgentImageName) == 0) {
        ShowMessage(L"停止安控元件失敗,請再重新停止安控元件");
        return;
    }
    Sleep(kBeforeBoxPauseMs);
    ShowMessage(L"停止安控元件成功");
    WriteAgentState(kAgentStopped);
    ShowTrayPresentation(window, kTrayStopped);
}

}  // namespace

bool IsMonitorCommand(int command)
{
    return command == ID_CMD_ABOUT || command == ID_CMD_CLOSE_TRAY || command == ID_CMD_RESTART_AGENT ||
           command == ID_CMD_STOP_AGENT;
}

int RunMonitorCommand(HWND window, int command)
{
    switch (command) {
    case ID_CMD_ABOUT:
        DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_ABOUT), window, AboutDlgProc, 0);
        break;
    case ID_CMD_CLOSE_TRAY:
        Shell_NotifyIconW(NIM_DELETE, &g_trayIcon);
        DestroyWindow(window);
        break;
    case ID_CMD_RESTART_AGENT:
    case ID_CMD_STOP_AGENT:
        if (g_commandRunning) {
            EnumThreadWindows(GetCurrentThreadId(), BringBoxToFront, 0);
            break;
        }
        g_commandRunning = true;
        if (command == ID_CMD_RESTART_AGENT) {
            RestartAgent(window);
        } else {
            StopAgentCommand(window);
        }
        g_commandRunning = false;
        break;
    default:
        break;
    }
    return 0;
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}
