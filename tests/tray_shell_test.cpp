// The tray shell in this program: MonitorMain's real loop, the window procedure on a real window, commands
// against stand-in agents and the real state file; tray, box, timer, DLL calls go to logging fakes, lambdas
// where x64's one calling convention allows.
#include "world_test.h"
#include "import_patch.h"
#include "monitor_commands.h"
#include "monitor_main.h"
#include "monitor_window.h"
#include "tray_icon.h"

namespace {

const char kStateFile[] = "[Settings]\r\nService=0000001000\r\n";
std::wstring g_log;
NOTIFYICONDATAW g_lastAdd;
int g_refusedAdds = 0;         // adds the tray refuses before it takes one
bool g_holdsIcon = false;      // a modify finds the icon: an add timed out, yet added it
bool g_endOnIcon = false;  // MonitorMain's loop ends once the icon is in

BOOL WINAPI Tray(DWORD action, PNOTIFYICONDATAW icon)
{
    const BOOL ok = action == NIM_DELETE || (action == NIM_ADD ? g_refusedAdds-- <= 0 : g_holdsIcon);
    const bool odd = icon->uFlags != (NIF_MESSAGE | NIF_ICON | NIF_TIP) || icon->uCallbackMessage != WM_USER + 1;
    g_log += (action == NIM_ADD ? L"add" : action == NIM_DELETE ? L"del" : L"mod") + std::to_wstring(icon->uID) +
             (action == NIM_ADD && odd ? L"(odd record)" : L"") + (ok ? L" " : L"! ");  // !: refused
    g_lastAdd = action == NIM_ADD && ok ? *icon : g_lastAdd;
    if ((ok && action != NIM_DELETE && g_endOnIcon) || g_log.size() > 2000) PostMessageW(icon->hWnd, WM_CLOSE, 0, 0);
    return ok;
}

class TrayShell : public WorldTest {
protected:
    void SetUp() override
    {
        WorldTest::SetUp();
        WriteStateFile(kStateFile);
        g_refusedAdds = g_holdsIcon = g_endOnIcon = 0;
        g_hInstance = GetModuleHandleW(NULL);
        g_taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
        window_ = CreateWindowExW(0, L"Static", L"", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
        SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(MonitorWndProc));
        ShowTrayPresentation(window_, kTrayStopped);
        g_log.clear();
    }
    void TearDown() override
    {
        DestroyWindow(window_);
        for (MSG quit; PeekMessageW(&quit, NULL, 0, 0, PM_REMOVE);) {}  // it would end the next loop at once
        WorldTest::TearDown();
    }
    // MonitorMain here, its loop ended by the fakes or else, failing the test, a watchdog; its exit code.
    int RunMain()
    {
        g_log.clear();
        g_endOnIcon = true;
        static decltype(&SetTimer) s_setTimer; static decltype(&KillTimer) s_killTimer;
        ImportPatch<decltype(&ChangeWindowMessageFilterEx)> filter("user32.dll", "ChangeWindowMessageFilterEx", [](HWND, UINT msg, DWORD how, PCHANGEFILTERSTRUCT) {
            g_log += msg == RegisterWindowMessageW(L"TaskbarCreated") && how == MSGFLT_ALLOW ? L"filter " : L"? ";
            return TRUE;
        });
        ImportPatch<decltype(&SetTimer)> timer("user32.dll", "SetTimer", [](HWND window, UINT_PTR id, UINT ms, TIMERPROC proc) {
            g_log += L"timer" + std::to_wstring(id) + L"/" + std::to_wstring(ms) + L" ";
            return s_setTimer(window, id, 10, proc);  // hurried along, still the loop's real timer
        });
        ImportPatch<decltype(&KillTimer)> kill("user32.dll", "KillTimer", [](HWND window, UINT_PTR id) {
            g_log += s_killTimer(window, id) ? L"timer-gone " : L"no-timer ";
            return PostMessageW(window, WM_CLOSE, 0, 0);  // nothing is left to happen
        });
        s_setTimer = timer.Original(), s_killTimer = kill.Original();
        const UINT_PTR watchdog = s_setTimer(NULL, 0, 10000, [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); });
        const int code = MonitorMain(g_hInstance, NULL, const_cast<PWSTR>(L"/ignored"), SW_SHOW);
        s_killTimer(NULL, watchdog);
        return code;
    }
    HWND window_ = NULL;
    ImportPatch<decltype(&Shell_NotifyIconW)> tray_{"shell32.dll", "Shell_NotifyIconW", Tray};
    ImportPatch<decltype(&MessageBoxW)> box_{"user32.dll", "MessageBoxW", [](HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
        g_log += std::wstring(caption) + (owner || type != MB_OK ? L"(owned or not plain): " : L": ") + text + L" ";
        return IDOK;
    }};
};

// At logon the tray may refuse the add, or take it and time out. An outside close ends each loop.
TEST_F(TrayShell, StartUpLetsTheShellsRestartInAndAddsItsLookRetryingForAMinuteIfRefused)
{
    std::wstring retries;  // 30 at 2 s
    for (int i = 0; i < 30; ++i) retries += L"add129! mod129! ";
    const struct { bool agent; int refused; bool holds; std::wstring log; } rows[] = {
        {false, 0, false, L"add129 "},
        {false, 3, false, L"add129! mod129! timer1/2000 " + retries.substr(0, 32) + L"add129 timer-gone "},
        {false, 1, true, L"add129! mod129 "},
        {false, 31, false, L"add129! mod129! timer1/2000 " + retries + L"timer-gone "},
        {true, 0, false, L"add107 "}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.log);
        if (row.agent) CloseHandle(StartAgent());
        g_refusedAdds = row.refused;
        g_holdsIcon = row.holds;
        EXPECT_EQ(RunMain(), 0);
        EXPECT_EQ(g_log, L"filter " + row.log + (row.agent ? L"del107 " : L"del129 "));
        EXPECT_STREQ(g_lastAdd.szTip, row.agent ? says::kTitleRunning : says::kTitleStopped);
    }
}

TEST_F(TrayShell, OnlyTheRightButtonOpensTheFiveEntryMenuWhichIsFreedAfterEachPress)
{
    static HMENU s_menu;
    ImportPatch<decltype(&TrackPopupMenu)> track("user32.dll", "TrackPopupMenu", [](HMENU menu, UINT flags, int, int, int, HWND, const RECT*) {
        s_menu = menu;
        g_log += L"menu" + std::to_wstring(flags) + L":";  // 32: bottom-aligned
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[64] = {};
            GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
            g_log += L" " + std::to_wstring(GetMenuItemID(menu, i)) + text +
                     (GetMenuState(menu, i, MF_BYPOSITION) & MF_SEPARATOR ? L"-" : L"");
        }
        return TRUE;
    });
    for (UINT m : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP}) SendMessageW(window_, says::kTrayCallback, 0, m);
    EXPECT_EQ(SendMessageW(window_, says::kTrayCallback, 0, WM_RBUTTONDOWN), 1);
    EXPECT_EQ(g_log, L"menu32: 32771重啟安控元件 32773停止安控元件 0- 104關於 105關閉工作列快捷鍵");
    EXPECT_FALSE(IsMenu(s_menu)) << "a menu left behind on every press";
}

TEST_F(TrayShell, PeersAndTheShellGetTheirLookTillTheWindowIsDestroyed)
{
    EXPECT_EQ(MonitorWndProc(window_, WM_COPYDATA, 0, 0), 0) << "no record: nothing read";
    COPYDATASTRUCT data = {2, 0, NULL};
    SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    SendMessageW(window_, WM_COMMAND, 32772, 0);  // no command of ours
    SendMessageW(window_, g_taskbarCreatedMessage, 0, 0);
    data.dwData = COPYDATA_AGENT_STARTED;
    SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    EXPECT_STREQ(g_lastAdd.szTip, says::kTitleRunning);
    EXPECT_EQ(StateFileBytes(), kStateFile);
    DestroyWindow(window_);
    MSG quit = {};
    EXPECT_TRUE(PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) && quit.wParam == 0) << "no quit with 0";
    ShowTrayPresentation(window_, kTrayStopped);  // a command whose box outlived the window
    EXPECT_EQ(g_log, L"del129 add129 del129 add107 del107 ");
}

TEST_F(TrayShell, FailedCommandsShowTheirBoxAndChangeNeitherFileNorIcon)
{
    // Without the terminate service an agent out of reach is given up on; a launch then would add a second.
    const struct { int command; const wchar_t* missing; const wchar_t* box; } rows[] = {
        {ID_CMD_RESTART_AGENT, says::kAgentFile, says::kRestartFailed},
        {ID_CMD_STOP_AGENT, says::kServiceFile, says::kStopFailed},
        {ID_CMD_RESTART_AGENT, says::kServiceFile, says::kRestartFailed}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.box);
        const bool outOfReach = row.missing == says::kServiceFile;
        Install(says::kAgentFile, row.missing != says::kAgentFile);
        Install(says::kServiceFile, !outOfReach);
        if (outOfReach && Running().empty()) CloseHandle(StartAgent(true));
        g_log.clear();
        EXPECT_EQ(RunMonitorCommand(window_, row.command), 0);
        EXPECT_EQ(g_log, std::wstring(says::kCaption) + L": " + row.box + L" ");
        EXPECT_EQ(StateFileBytes(), kStateFile);
        EXPECT_EQ(Running().size(), outOfReach ? 1u : 0u);
    }
}

// Windows 7 without its loader update has no SetDefaultDllDirectories.
TEST_F(TrayShell, DllSearchIsKeptToTheSystemFolderOrAtLeastLosesTheCurrentOne)
{
    static FARPROC s_found;
    s_found = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(
        +[](DWORD flags) { g_log += L"default-dirs" + std::to_wstring(flags) + L" "; return TRUE; }));
    ImportPatch<decltype(&GetProcAddress)> lookup("kernel32.dll", "GetProcAddress",
        [](HMODULE, LPCSTR name) { g_log += std::wstring(name, name + strlen(name)) + L"? "; return s_found; });
    ImportPatch<decltype(&SetDllDirectoryW)> folder("kernel32.dll", "SetDllDirectoryW",
        [](LPCWSTR dir) { g_log += L"dll-dir[" + std::wstring(dir ? dir : L"reset") + L"]"; return TRUE; });
    RestrictDllSearch();
    s_found = NULL;
    RestrictDllSearch();
    EXPECT_EQ(g_log, L"SetDefaultDllDirectories? default-dirs2048 SetDefaultDllDirectories? dll-dir[]");
}

}  // namespace
