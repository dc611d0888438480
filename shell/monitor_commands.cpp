#include "monitor_commands.h"

#include "agent_process.h"
#include "agent_state.h"
#include "resource.h"
#include "tray_icon.h"

namespace {

const wchar_t kCaption[] = L"嵐川銀行";

void ShowMessage(const wchar_t* text)
{
    MessageBoxW(NULL, text, kCaption, MB_OK);
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
        RestartAgent(window);
        break;
    case ID_CMD_STOP_AGENT:
        StopAgentCommand(window);
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
