// The tray shell in this program: MonitorMain's real loop, the window procedure on a real window, commands
// against stand-in agents and the real state file. Tray, box, timer and DLL calls go to the named fakes below,
// each answering what Windows answers in the situation its test models.
#include <map>
#include <utility>

#include "world_test.h"
#include "import_patch.h"
#include "monitor_commands.h"
#include "monitor_main.h"
#include "monitor_window.h"
#include "tray_icon.h"

namespace {

const char kStateFile[] = "[Settings]\r\nService=0000001000\r\n";
// When the watchdog, not the program, ends a MonitorMain loop.
const UINT kWatchdogMs = 10000;
// The retry timer fires this often here, not every 2 s, so that a minute of retries takes a moment.
const UINT kHurriedTimerMs = 10;
const int kDesignedRetries = 30;  // as designed, not read from the code

std::wstring g_log;
NOTIFYICONDATAW g_lastAdd;  // the record of the latest add, taken or refused
int g_refusedAdds = 0;      // adds the tray, not ready, refuses before it takes one
int g_timedOutCalls = 0;    // calls a busy tray answers FALSE after its time-out; an add among them takes the icon
UINT g_heldId = 0;          // the icon the tray holds for the window, 0 for none
bool g_endOnIcon = false;   // MonitorMain's loop ends once the icon is in
HMENU g_shownMenu = NULL;
std::wstring g_windowTitle;  // the title of the window whose icon was added last
int g_commandInBox = 0;      // a command the user chooses from the tray icon's menu while the next box is open
decltype(&SetTimer) g_realSetTimer = NULL;
decltype(&KillTimer) g_realKillTimer = NULL;

// Names for the numbers the fakes see, so that logs read as words; a number without a name stays a number.
const std::map<UINT, std::wstring> kTrayActions = {{NIM_ADD, L"add"}, {NIM_MODIFY, L"modify"}, {NIM_DELETE, L"delete"}};
const std::map<UINT, std::wstring> kIcons = {{IDI_AGENT_STOPPED, L"grey"}, {IDI_AGENT_RUNNING, L"colour"}};
const std::map<UINT, std::wstring> kCommands = {{ID_CMD_RESTART_AGENT, L"Restart"},
                                                {ID_CMD_STOP_AGENT, L"Stop"},
                                                {ID_CMD_ABOUT, L"About"},
                                                {ID_CMD_CLOSE_TRAY, L"Close"}};
const std::map<UINT, std::wstring> kMenuFlags = {{TPM_BOTTOMALIGN, L"bottom-aligned"}};

std::wstring NameOf(const std::map<UINT, std::wstring>& names, UINT value)
{
    const auto found = names.find(value);
    if (found == names.end()) {
        return std::to_wstring(value);
    }
    return found->second;
}

// The log of a box as PressOk writes it.
std::wstring BoxLog(const wchar_t* text)
{
    return std::wstring(says::kCaption) + L": " + text + L" ";
}

std::wstring Times(int count, const std::wstring& text)
{
    std::wstring all;
    for (int i = 0; i < count; ++i) {
        all += text;
    }
    return all;
}

// Shell_NotifyIconW: a notification area not ready at logon refuses the add; a busy one answers FALSE after a time-out
// although an add took the icon. An add of an icon it holds is refused as a duplicate; a modify or a delete answers
// FALSE for an icon it does not hold (Shell_NotifyIconW function).
BOOL WINAPI FakeTray(DWORD action, PNOTIFYICONDATAW icon)
{
    std::wstring answer;
    if (g_timedOutCalls > 0) {
        g_timedOutCalls -= 1;
        answer = L"-timed-out";
        if (action == NIM_ADD && g_heldId == 0) {
            g_heldId = icon->uID;
        }
    } else if (action == NIM_ADD && g_heldId == icon->uID) {
        answer = L"-duplicate";
    } else if (action == NIM_ADD && g_refusedAdds > 0) {
        g_refusedAdds -= 1;
        answer = L"-refused";
    } else if (action != NIM_ADD && g_heldId != icon->uID) {
        answer = L"-refused";
    } else if (action == NIM_ADD) {
        g_heldId = icon->uID;
    }
    if (action == NIM_ADD) {
        g_lastAdd = *icon;
        wchar_t title[128] = {};
        GetWindowTextW(icon->hWnd, title, _countof(title));
        g_windowTitle = title;
    }
    if (action == NIM_DELETE && answer.empty()) {
        g_heldId = 0;
    }
    g_log += NameOf(kTrayActions, action) + L"-" + NameOf(kIcons, icon->uID) + answer + L" ";
    const bool taken = answer.empty();
    if (taken && action != NIM_DELETE && g_endOnIcon) {
        PostMessageW(icon->hWnd, WM_CLOSE, 0, 0);
    }
    return taken;
}

// MessageBoxW: IDOK, as for a plain box whose OK the user pressed; a tray command chosen meanwhile reaches the
// window through the box's modal loop (MessageBoxW function).
int WINAPI PressOk(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    g_log += std::wstring(caption) + L": " + text + L" ";
    if (owner != NULL || type != MB_OK) {
        g_log += L"(owned or not plain) ";
    }
    if (g_commandInBox != 0) {
        SendMessageW(g_trayIcon.hWnd, WM_COMMAND, std::exchange(g_commandInBox, 0), 0);
    }
    return IDOK;
}

// ChangeWindowMessageFilterEx: TRUE for a window of the calling process (ChangeWindowMessageFilterEx function).
BOOL WINAPI AllowMessage(HWND, UINT message, DWORD action, PCHANGEFILTERSTRUCT)
{
    const bool allowsTaskbarCreated = message == RegisterWindowMessageW(L"TaskbarCreated") && action == MSGFLT_ALLOW;
    g_log += allowsTaskbarCreated ? L"filter-taskbar-created " : L"filter-other ";
    return TRUE;
}

// SetTimer: the real timer on the window, only hurried (SetTimer function).
UINT_PTR WINAPI HurriedTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc)
{
    g_log += L"retry-timer-" + std::to_wstring(ms) + L"ms ";
    return g_realSetTimer(window, id, kHurriedTimerMs, proc);
}

// KillTimer: the real one, FALSE for a timer that does not exist (KillTimer function). Nothing is left to
// happen after it, so it also ends the loop.
BOOL WINAPI KillTimerAndClose(HWND window, UINT_PTR id)
{
    const BOOL killed = g_realKillTimer(window, id);
    g_log += killed ? L"timer-gone " : L"no-timer ";
    PostMessageW(window, WM_CLOSE, 0, 0);
    return killed;
}

// Ends a MonitorMain loop that nothing else ended.
VOID CALLBACK Watchdog(HWND, UINT, UINT_PTR, DWORD)
{
    PostQuitMessage(0);
}

// TrackPopupMenu: without TPM_RETURNCMD, nonzero once the user dismissed the menu (TrackPopupMenu function).
BOOL WINAPI DismissedMenu(HMENU menu, UINT flags, int, int, int, HWND, const RECT*)
{
    g_shownMenu = menu;
    g_log += L"menu-" + NameOf(kMenuFlags, flags);
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        const UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        if ((state & MF_SEPARATOR) != 0) {
            g_log += L" separator";
            continue;
        }
        wchar_t text[64] = {};
        GetMenuStringW(menu, i, text, _countof(text), MF_BYPOSITION);
        g_log += L" " + NameOf(kCommands, GetMenuItemID(menu, i)) + L":" + text;
    }
    return TRUE;
}

// GetProcAddress: NULL for SetDefaultDllDirectories on Windows 7 without KB2533623, which lacks it
// (GetProcAddress function, SetDefaultDllDirectories function).
FARPROC WINAPI Windows7GetProcAddress(HMODULE, LPCSTR name)
{
    g_log += L"lookup-" + std::wstring(name, name + strlen(name)) + L" ";
    return NULL;
}

// SetDllDirectoryW: TRUE (SetDllDirectoryW function).
BOOL WINAPI FakeSetDllDirectory(LPCWSTR folder)
{
    if (folder == NULL) {
        g_log += L"dll-folder-reset ";
        return TRUE;
    }
    g_log += L"dll-folder[" + std::wstring(folder) + L"] ";
    return TRUE;
}

class TrayShell : public WorldTest {
protected:
    void SetUp() override
    {
        WorldTest::SetUp();
        WriteStateFile(kStateFile);
        g_refusedAdds = 0;
        g_timedOutCalls = 0;
        g_heldId = 0;
        g_endOnIcon = false;
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
        // A quit left in the queue would end the next loop at once.
        MSG left = {};
        while (PeekMessageW(&left, NULL, 0, 0, PM_REMOVE)) {
        }
        WorldTest::TearDown();
    }
    // MonitorMain here, its loop ended by the fakes or else, failing the test, by a watchdog.
    void RunMain()
    {
        g_log.clear();
        g_endOnIcon = true;
        g_heldId = 0;                 // a new window holds no icon yet
        g_taskbarCreatedMessage = 0;  // the program registers it itself
        ImportPatch<decltype(&ChangeWindowMessageFilterEx)> filter("user32.dll", "ChangeWindowMessageFilterEx",
                                                                   AllowMessage);
        ImportPatch<decltype(&SetTimer)> timer("user32.dll", "SetTimer", HurriedTimer);
        ImportPatch<decltype(&KillTimer)> kill("user32.dll", "KillTimer", KillTimerAndClose);
        g_realSetTimer = timer.Original();
        g_realKillTimer = kill.Original();
        const UINT_PTR watchdog = g_realSetTimer(NULL, 0, kWatchdogMs, Watchdog);
        MonitorMain(g_hInstance, NULL, const_cast<PWSTR>(L"/ignored"), SW_SHOW);
        g_realKillTimer(NULL, watchdog);
    }
    HWND window_ = NULL;
    ImportPatch<decltype(&Shell_NotifyIconW)> tray_{"shell32.dll", "Shell_NotifyIconW", FakeTray};
    ImportPatch<decltype(&MessageBoxW)> box_{"user32.dll", "MessageBoxW", PressOk};
};

// At logon the tray may refuse the add, or take it late after a time-out. An outside close ends each loop.
TEST_F(TrayShell, StartUpLetsTheShellsRestartInAndAddsItsLookRetryingForAMinuteIfRefused)
{
    const std::wstring refused = L"add-grey-refused modify-grey-refused ";
    const std::wstring firstRefused = L"filter-taskbar-created " + refused + L"retry-timer-2000ms ";
    const struct {
        const char* name;
        bool agent;
        int refusedAdds;
        int timedOutCalls;
        std::wstring log;
    } rows[] = {
        {"with an agent, taken at once", true, 0, 0, L"filter-taskbar-created add-colour delete-colour "},
        {"add and modify timed out, taken late", false, 0, 2,
         L"filter-taskbar-created add-grey-timed-out modify-grey-timed-out retry-timer-2000ms add-grey-duplicate "
         L"modify-grey timer-gone delete-grey "},
        {"refused for a minute", false, kDesignedRetries + 1, 0,
         firstRefused + Times(kDesignedRetries, refused) + L"timer-gone delete-grey-refused "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(LayOut());
        WriteStateFile(kStateFile);
        if (row.agent) {
            CloseHandle(StartAgent());
        }
        g_refusedAdds = row.refusedAdds;
        g_timedOutCalls = row.timedOutCalls;
        RunMain();
        EXPECT_EQ(g_log, row.log);
        const wchar_t* title = row.agent ? says::kTitleRunning : says::kTitleStopped;
        EXPECT_EQ(g_windowTitle, title) << "the window's title, the name a peer finds it by";
        EXPECT_STREQ(g_lastAdd.szTip, title);
        EXPECT_EQ(g_lastAdd.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    }
}

TEST_F(TrayShell, OnlyTheRightButtonOpensTheFiveEntryMenuWhichIsFreedAfterEachPress)
{
    ImportPatch<decltype(&TrackPopupMenu)> track("user32.dll", "TrackPopupMenu", DismissedMenu);
    for (const UINT press : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP}) {
        SendMessageW(window_, says::kTrayCallback, 0, press);
    }
    SendMessageW(window_, says::kTrayCallback, 0, WM_RBUTTONDOWN);
    MSG posted = {};
    while (PeekMessageW(&posted, window_, 0, 0, PM_REMOVE)) {
        g_log += posted.message == WM_NULL ? L" then-null-posted" : L" then-other-posted";
    }
    EXPECT_EQ(g_log,
              L"menu-bottom-aligned Restart:重啟安控元件 Stop:停止安控元件 separator About:關於 "
              L"Close:關閉工作列快捷鍵 then-null-posted");
    EXPECT_FALSE(IsMenu(g_shownMenu)) << "a menu left behind on every press";
}

TEST_F(TrayShell, APeersWordSwitchesTheLookABadOneIsIgnoredAndTheShellGetsTheLookTillTheWindowIsDestroyed)
{
    // What the user reads on the icon after each switch: SetUp's to grey, then the peer's to colour.
    EXPECT_STREQ(g_lastAdd.szTip, says::kTitleStopped);
    COPYDATASTRUCT word = {COPYDATA_AGENT_STARTED, 0, NULL};
    SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&word));
    EXPECT_STREQ(g_lastAdd.szTip, says::kTitleRunning);
    // A copy-data message without its record, which only a call in this process can make: read, it would crash.
    MonitorWndProc(window_, WM_COPYDATA, 0, 0);
    SendMessageW(window_, g_taskbarCreatedMessage, 0, 0);
    DestroyWindow(window_);
    // A command whose box outlived the window.
    ShowTrayPresentation(window_, kTrayStopped);
    EXPECT_EQ(g_log, L"delete-grey add-colour delete-colour add-colour delete-colour ");
}

TEST_F(TrayShell, FailedCommandsShowTheirBoxAndChangeNeitherFileNorIcon)
{
    // An agent out of reach is given up on when the terminate service is missing; a launch then would add a second. The
    // log holds every tray call: none means the icon is unchanged.
    const struct {
        const char* name;
        int command;
        bool agentInstalled;
        bool serviceInstalled;
        bool agentOutOfReach;
        std::wstring log;
    } rows[] = {
        {"no agent to launch", ID_CMD_RESTART_AGENT, false, true, false, BoxLog(says::kRestartFailed)},
        {"Restart without the service", ID_CMD_RESTART_AGENT, true, false, true, BoxLog(says::kRestartFailed)},
        {"Stop without the service", ID_CMD_STOP_AGENT, true, false, true, BoxLog(says::kStopFailed)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(LayOut());
        WriteStateFile(kStateFile);
        Install(says::kAgentFile, row.agentInstalled);
        Install(says::kServiceFile, row.serviceInstalled);
        if (row.agentOutOfReach) {
            CloseHandle(StartAgent(AgentReach::kElevated));
        }
        g_log.clear();
        RunMonitorCommand(window_, row.command);
        EXPECT_EQ(g_log, row.log);
        EXPECT_EQ(StateFileBytes(), kStateFile);
        const size_t agentsLeft = row.agentOutOfReach ? 1 : 0;
        EXPECT_EQ(Running().size(), agentsLeft);
    }
}

// A second command chosen from the tray menu inside a box's modal loop must not run inside the first.
TEST_F(TrayShell, NoCommandRunsInsideAnothersBox)
{
    g_commandInBox = ID_CMD_STOP_AGENT;
    RunMonitorCommand(window_, ID_CMD_RESTART_AGENT);
    EXPECT_EQ(g_log, BoxLog(says::kRestartDone) + L"delete-grey add-colour ");
    EXPECT_EQ(Running().size(), 1u) << "the launched agent ended";
}

// Windows 7 without its loader update has no SetDefaultDllDirectories; the shipped program where it exists is
// DllSearch's.
TEST_F(TrayShell, DllSearchWithoutTheRestrictionAtLeastLosesTheCurrentFolder)
{
    ImportPatch<decltype(&GetProcAddress)> lookup("kernel32.dll", "GetProcAddress", Windows7GetProcAddress);
    ImportPatch<decltype(&SetDllDirectoryW)> folder("kernel32.dll", "SetDllDirectoryW", FakeSetDllDirectory);
    RestrictDllSearch();
    EXPECT_EQ(g_log, L"lookup-SetDefaultDllDirectories dll-folder[] ");
}

}  // namespace
