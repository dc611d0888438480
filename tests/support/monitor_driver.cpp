#include "monitor_driver.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>

#include "agent_rig.h"
#include "state_file_rig.h"

namespace {
const wchar_t kClass[] = L"ZELNANIVOROMONITOR";
const UINT kTrayCallback = WM_USER + 1;
}  // namespace

Monitor StartMonitor(const wchar_t* arguments, const std::wstring& program)
{
    Monitor monitor;
    std::wstring path = program.empty() ? BesideThisProgram(L"ZelnaNivoroMonitor.exe") : program;
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &monitor.info)) {
        ADD_FAILURE() << "cannot start the monitor: " << GetLastError();
        return monitor;
    }
    CloseHandle(monitor.info.hThread);
    // Generous: the 32-bit program may start through an emulator.
    for (int i = 0; i < 6000 && monitor.window == NULL; ++i, Sleep(25)) {
        for (HWND w = FindWindowExW(NULL, NULL, kClass, NULL); w != NULL; w = FindWindowExW(NULL, w, kClass, NULL)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == monitor.info.dwProcessId) {
                monitor.window = w;
            }
        }
        if (WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_OBJECT_0) {
            break;
        }
    }
    EXPECT_NE(monitor.window, nullptr) << "no monitor window";
    return monitor;
}

std::wstring TitleOf(HWND window)
{
    wchar_t title[128] = {};
    GetWindowTextW(window, title, 128);
    return title;
}

HWND WaitWindow(const wchar_t* className, const wchar_t* title, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 25, Sleep(25)) {
        if (HWND found = FindWindowW(className, title)) {
            return found;
        }
    }
    return NULL;
}

std::wstring AnswerBox(int timeoutMs)
{
    HWND box = WaitWindow(L"#32770", L"嵐川銀行", timeoutMs);
    if (box == NULL) {
        return L"<no box>";
    }
    wchar_t text[128] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 128);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
    return text;
}

bool ChooseTrayEntry(HWND monitor, int downs)
{
    PostMessageW(monitor, kTrayCallback, 0, WM_RBUTTONDOWN);  // the id is never read
    HWND menu = WaitWindow(L"#32768", NULL);
    if (menu == NULL) {
        return false;
    }
    for (int k = 0; k < downs; ++k) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    }
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    return true;
}

namespace {
NOTIFYICONDATAW IconOf(HWND monitor, unsigned id)
{
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = monitor;
    icon.uID = id;
    return icon;
}

unsigned HeldIcon(HWND monitor)
{
    for (unsigned id : {kRunningIcon, kStoppedIcon}) {
        NOTIFYICONDATAW icon = IconOf(monitor, id);
        if (Shell_NotifyIconW(NIM_MODIFY, &icon)) {
            return id;
        }
    }
    return kNoIcon;
}
}  // namespace

unsigned TrayIconOf(HWND monitor, unsigned expected, int timeoutMs)
{
    unsigned held = HeldIcon(monitor);
    for (int waited = 0; held != expected && waited < timeoutMs; waited += 25) {
        Sleep(25);
        held = HeldIcon(monitor);
    }
    return held;
}

void DropTrayIcon(HWND monitor)
{
    for (unsigned id : {kRunningIcon, kStoppedIcon}) {
        NOTIFYICONDATAW icon = IconOf(monitor, id);
        Shell_NotifyIconW(NIM_DELETE, &icon);
    }
}

double TraySlotSaturation()
{
    // The first slot sits at the right end of the taskbar, as tray_screen_test.sh finds it.
    const int x0 = GetSystemMetrics(SM_CXSCREEN) - 20, y0 = GetSystemMetrics(SM_CYSCREEN) - 19;
    HDC screen = GetDC(NULL);
    double sum = 0;
    for (int y = y0; y < y0 + 16; ++y) {
        for (int x = x0; x < x0 + 16; ++x) {
            COLORREF c = GetPixel(screen, x, y);
            int high = std::max({GetRValue(c), GetGValue(c), GetBValue(c)});
            int low = std::min({GetRValue(c), GetGValue(c), GetBValue(c)});
            sum += high == 0 ? 0 : double(high - low) / high;
        }
    }
    ReleaseDC(NULL, screen);
    return sum / 256;
}

DWORD EndOf(Monitor& monitor)
{
    DWORD code = 999;
    EXPECT_TRUE(WaitEnded(monitor.info.hProcess, 60000));
    GetExitCodeProcess(monitor.info.hProcess, &code);
    CloseHandle(monitor.info.hProcess);
    return code;
}

void EndLeftoverMonitors()
{
    for (DWORD id : ProcessesNamed(L"ZelnaNivoroMonitor.exe")) {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
}

void MonitorWorldTest::SetUp()
{
    EndLeftoverMonitors();
    EndAllAgents();
    RemoveStateFile();
    InstallStandIns(true, true);
}

void MonitorWorldTest::TearDown()
{
    EndLeftoverMonitors();
    EndAllAgents();
    RemoveStateFile();
}
