// The tray shell's own code run inside this test program: its window
// procedure on a real hidden window, its menu read back before it is shown,
// its commands against real stand-in agents and the real state file. The
// tray and message-box calls are redirected so that the test sees them.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <string>
#include <vector>

#include "agent_rig.h"
#include "agent_state.h"
#include "import_patch.h"
#include "monitor_window_rig.h"
#include "monitor_commands.h"
#include "monitor_window.h"
#include "resource.h"
#include "state_file_rig.h"
#include "tray_icon.h"

namespace {

struct TrayCall {
    DWORD action;
    UINT id;
    std::wstring tip;
};
std::vector<TrayCall> g_trayCalls;
std::vector<std::wstring> g_boxes;
struct MenuEntry {
    UINT id;
    UINT flags;
    std::wstring text;
};
std::vector<MenuEntry> g_menu;
UINT g_menuFlags = 0;

BOOL WINAPI RecordTray(DWORD action, PNOTIFYICONDATAW data)
{
    g_trayCalls.push_back({action, data->uID, data->szTip});
    return TRUE;
}

int WINAPI AnswerBox(HWND, LPCWSTR text, LPCWSTR caption, UINT type)
{
    EXPECT_STREQ(caption, L"嵐川銀行");
    EXPECT_EQ(type, static_cast<UINT>(MB_OK));
    g_boxes.push_back(text);
    return IDOK;
}

BOOL WINAPI ReadMenu(HMENU menu, UINT flags, int, int, int, HWND, const RECT*)
{
    g_menuFlags = flags;
    g_menu.clear();
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STATE;
        GetMenuItemInfoW(menu, i, TRUE, &info);
        g_menu.push_back({GetMenuItemID(menu, i), info.fType | info.fState, text});
    }
    return TRUE;
}

class ShellTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_hInstance = GetModuleHandleW(NULL);
        g_taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    }
    void SetUp() override
    {
        EndAllAgents();
        RemoveStateFile();
        window_ = NewMonitorWindow(L"ShellTestWindow");
        ASSERT_NE(window_, nullptr);
        g_trayCalls.clear();
        g_boxes.clear();
    }
    void TearDown() override
    {
        EndAllAgents();
        RemoveStateFile();
    }
    HWND window_ = NULL;
    ImportPatch tray_{"shell32.dll", "Shell_NotifyIconW", (void*)RecordTray};
    ImportPatch box_{"user32.dll", "MessageBoxW", (void*)AnswerBox};
};

TEST_F(ShellTest, MenuHasFiveEntriesAtTheCursorAndIsDestroyedAfterwards)
{
    ImportPatch track("user32.dll", "TrackPopupMenu", (void*)ReadMenu);
    EXPECT_EQ(SendMessageW(window_, WM_TRAYCALLBACK, 0, WM_RBUTTONDOWN), 1);
    ASSERT_EQ(g_menu.size(), 5u);
    EXPECT_EQ(g_menuFlags, static_cast<UINT>(TPM_BOTTOMALIGN));
    const UINT ids[] = {ID_CMD_RESTART_AGENT, ID_CMD_STOP_AGENT, 0, ID_CMD_ABOUT, ID_CMD_CLOSE_TRAY};
    const wchar_t* texts[] = {L"重啟安控元件", L"停止安控元件", L"", L"關於", L"關閉工作列快捷鍵"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(g_menu[i].id, ids[i]) << i;
        EXPECT_EQ(g_menu[i].text, texts[i]) << i;
        EXPECT_EQ((g_menu[i].flags & MFT_SEPARATOR) != 0, i == 2) << i;
        if (i != 2) {
            EXPECT_EQ(g_menu[i].flags & MFS_DISABLED, 0u) << "every entry is always enabled";
        }
    }
    HMENU first = g_hPopupMenu;
    EXPECT_FALSE(IsMenu(first)) << "the menu must not outlive its press";
    SendMessageW(window_, WM_TRAYCALLBACK, 0, WM_RBUTTONDOWN);
    EXPECT_FALSE(IsMenu(g_hPopupMenu));

    // Other mouse events open nothing.
    g_menu.clear();
    for (UINT mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_MOUSEMOVE}) {
        EXPECT_EQ(SendMessageW(window_, WM_TRAYCALLBACK, 0, MAKELPARAM(mouse, 7)), 0);
    }
    EXPECT_TRUE(g_menu.empty());
}

TEST_F(ShellTest, CopyDataShowsRunningOnlyForItsWordAndNeverReadsAMissingRecord)
{
    EXPECT_EQ(MonitorWndProc(window_, WM_COPYDATA, 0, 0), 0);
    COPYDATASTRUCT data = {2, 0, NULL};
    EXPECT_EQ(SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), 0);
    EXPECT_TRUE(g_trayCalls.empty());

    ShowTrayPresentation(window_, kTrayStopped);
    g_trayCalls.clear();
    data.dwData = COPYDATA_AGENT_STARTED;
    SendMessageW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    ASSERT_EQ(g_trayCalls.size(), 2u);
    EXPECT_EQ(g_trayCalls[0].action, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(g_trayCalls[0].id, static_cast<UINT>(IDI_AGENT_STOPPED));
    EXPECT_EQ(g_trayCalls[1].action, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(g_trayCalls[1].id, static_cast<UINT>(IDI_AGENT_RUNNING));
    EXPECT_EQ(g_trayCalls[1].tip, L"嵐川銀行晶片金融卡安控元件");
    EXPECT_EQ(ReadStateFileBytes(), "") << "copy-data never writes the state file";
}

TEST_F(ShellTest, ShellRestartAddsTheIconAgainAndDestroyRemovesIt)
{
    ShowTrayPresentation(window_, kTrayStopped);
    g_trayCalls.clear();
    SendMessageW(window_, g_taskbarCreatedMessage, 0, 0);
    ASSERT_FALSE(g_trayCalls.empty());
    EXPECT_EQ(g_trayCalls.back().action, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(g_trayCalls.back().id, static_cast<UINT>(IDI_AGENT_STOPPED));
    EXPECT_EQ(g_trayCalls.back().tip, L"嵐川銀行晶片金融卡安控元件已關閉");

    g_trayCalls.clear();
    DestroyWindow(window_);
    ASSERT_EQ(g_trayCalls.size(), 1u);
    EXPECT_EQ(g_trayCalls[0].action, static_cast<DWORD>(NIM_DELETE));
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(quit.wParam, 0u);
}

TEST_F(ShellTest, UnknownCommandsGoToTheDefaultProcedure)
{
    for (int command : {0, 1, 106, 32772, 40000}) {
        EXPECT_EQ(SendMessageW(window_, WM_COMMAND, command, 0), 0);
    }
    EXPECT_TRUE(g_trayCalls.empty());
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_TRUE(IsWindow(window_));
}

TEST_F(ShellTest, StopSucceedsWithNoAgentAndEachTimeRewritesFileAndIcon)
{
    for (int round = 0; round < 2; ++round) {
        g_trayCalls.clear();
        g_boxes.clear();
        EXPECT_EQ(RunMonitorCommand(window_, ID_CMD_STOP_AGENT), 0);
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_EQ(g_boxes[0], L"停止安控元件成功");
        EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));
        ASSERT_EQ(g_trayCalls.size(), 2u);
        EXPECT_EQ(g_trayCalls[1].id, static_cast<UINT>(IDI_AGENT_STOPPED));
    }
}

TEST_F(ShellTest, StopFailureChangesNeitherFileNorIcon)
{
    InstallStandIns(true, false);
    HANDLE agent = StartAgent(L"ZelnaNivoroAgent.exe", true);
    WriteStateFileBytes("[Settings]\r\nService=0000000000\r\n");
    EXPECT_EQ(RunMonitorCommand(window_, ID_CMD_STOP_AGENT), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0], L"停止安控元件失敗,請再重新停止安控元件");
    EXPECT_EQ(StoredValue(), "0000000000");
    EXPECT_TRUE(g_trayCalls.empty());
    CloseHandle(agent);
}

TEST_F(ShellTest, RestartEndsRunningAgentsThenLaunchesOrReportsAMissingOne)
{
    InstallStandIns(true, true);
    HANDLE old = StartAgent();
    EXPECT_EQ(RunMonitorCommand(window_, ID_CMD_RESTART_AGENT), 0);
    EXPECT_TRUE(WaitEnded(old, 0)) << "the running agent is ended first";
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0], L"重啟安控元件成功");
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '0'));
    ASSERT_EQ(g_trayCalls.size(), 2u);
    EXPECT_EQ(g_trayCalls[1].id, static_cast<UINT>(IDI_AGENT_RUNNING));
    bool launched = false;
    for (int i = 0; i < 200 && !launched; ++i, Sleep(25)) {
        launched = !ProcessesNamed(L"ZelnaNivoroAgent.exe").empty();
    }
    EXPECT_TRUE(launched);
    CloseHandle(old);

    // A running image cannot be deleted: end the launched agent first.
    EndAllAgents();
    InstallStandIns(false, true);
    const std::string before = ReadStateFileBytes();
    g_boxes.clear();
    g_trayCalls.clear();
    RunMonitorCommand(window_, ID_CMD_RESTART_AGENT);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0], L"重啟安控元件失敗,請再重新啟動安控元件");
    EXPECT_TRUE(ProcessesNamed(L"ZelnaNivoroAgent.exe").empty()) << "the stop still ran";
    EXPECT_EQ(ReadStateFileBytes(), before);
    EXPECT_TRUE(g_trayCalls.empty());
}

}  // namespace
