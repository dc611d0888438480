// The tray shell's start-up, window procedure and menu code inside this test
// program: what only the owning process can see (menu handles, the elevation
// filter), with the tray calls redirected so that the test sees them.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <set>
#include <vector>

#include "agent_rig.h"
#include "import_patch.h"
#include "monitor_window_rig.h"
#include "monitor_commands.h"
#include "monitor_window.h"
#include "reliability_rig.h"
#include "resource.h"
#include "state_file_rig.h"
#include "tray_icon.h"

namespace {

std::set<UINT> g_tray;  // the icons the tray holds, by uID
std::vector<std::wstring> g_events;
HMENU g_previousMenu = NULL;
int g_menus = 0, g_reusedMenuHandles = 0;

BOOL WINAPI RecordTray(DWORD action, PNOTIFYICONDATAW data)
{
    if (action == NIM_ADD) {
        g_tray.insert(data->uID);
        g_events.push_back(L"tray add");
        // Ends the start-up's message loop once the icon is up.
        PostMessageW(data->hWnd, WM_CLOSE, 0, 0);
    } else if (action == NIM_DELETE) {
        g_tray.erase(data->uID);
    }
    return TRUE;
}

BOOL WINAPI RecordFilter(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT)
{
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    EXPECT_STREQ(className, L"ZELNANIVOROMONITOR");
    EXPECT_NE(message, 0u);
    EXPECT_EQ(message, RegisterWindowMessageW(L"TaskbarCreated"));
    EXPECT_EQ(action, static_cast<DWORD>(MSGFLT_ALLOW));
    g_events.push_back(L"filter");
    return TRUE;
}

BOOL WINAPI CheckEarlierMenu(HMENU menu, UINT, int, int, int, HWND, const RECT*)
{
    EXPECT_TRUE(IsMenu(menu));
    if (g_previousMenu == menu) {
        ++g_reusedMenuHandles;  // the earlier one was destroyed and its handle given out again
    } else if (g_previousMenu != NULL) {
        EXPECT_FALSE(IsMenu(g_previousMenu)) << "menu " << g_menus << " outlived its press";
    }
    g_previousMenu = menu;
    ++g_menus;
    return TRUE;
}

class ReliableShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndAllAgents();
        RemoveStateFile();
        g_tray.clear();
        g_events.clear();
        g_hInstance = GetModuleHandleW(NULL);
    }
    void TearDown() override { RemoveStateFile(); }
    HWND NewWindow() { return NewMonitorWindow(L"ReliableShellWindow"); }
    ImportPatch tray_{"shell32.dll", "Shell_NotifyIconW", (void*)RecordTray};
};

// Under Wine nothing filters messages by elevation, so only the call itself can be seen.
TEST_F(ReliableShellTest, StartUpLetsTheShellsRestartMessageThroughBeforeTheIconIsAdded)
{
    ImportPatch filter("user32.dll", "ChangeWindowMessageFilterEx", (void*)RecordFilter);
    EXPECT_EQ(MonitorMain(GetModuleHandleW(NULL), NULL, NULL, SW_SHOW), 0);
    const std::vector<std::wstring> expected = {L"filter", L"tray add"};
    EXPECT_EQ(g_events, expected);
}

TEST_F(ReliableShellTest, EachEarlierMenuIsGoneOnceItsSuccessorExists)
{
    HWND window = NewWindow();
    ImportPatch track("user32.dll", "TrackPopupMenu", (void*)CheckEarlierMenu);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(SendMessageW(window, WM_TRAYCALLBACK, 0, WM_RBUTTONDOWN), 1);
    }
    EXPECT_EQ(g_menus, 2000);
    EXPECT_FALSE(IsMenu(g_hPopupMenu));
    Figure("menus built, each earlier one gone (handles given out again)", g_menus, "menus");
    Figure("menu handles given out again", g_reusedMenuHandles, "times");
    DestroyWindow(window);
}

}  // namespace
