// The real monitor program under Wine, driven from outside as the shell and
// other programs drive it: by its window class, by messages, by its boxes.
#include <gtest/gtest.h>
#include <windows.h>
#include <initializer_list>
#include <string>
#include <utility>

#include "agent_rig.h"
#include "host_process_view.h"
#include "monitor_driver.h"
#include "state_file_rig.h"

namespace {

using MonitorProgramTest = MonitorWorldTest;

TEST_F(MonitorProgramTest, FirstStartWithoutAgentThenCopyDataStopAndClose)
{
    Monitor monitor = StartMonitor(L"--ignored /x");
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_EQ(TitleOf(monitor.window), L"嵐川銀行晶片金融卡安控元件已關閉");
    EXPECT_FALSE(IsWindowVisible(monitor.window));
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1')) << "first start writes stopped";

    const std::string before = ReadStateFileBytes();
    COPYDATASTRUCT data = {1, 0, NULL};
    EXPECT_EQ(SendMessageW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), 0);
    data.dwData = 2;
    SendMessageW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    EXPECT_EQ(ReadStateFileBytes(), before) << "copy-data never writes the file";

    PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
    EXPECT_EQ(AnswerBox(), L"停止安控元件成功");
    Sleep(300);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));
    EXPECT_EQ(TitleOf(monitor.window), L"嵐川銀行晶片金融卡安控元件已關閉") << "the title never changes";

    PostMessageW(monitor.window, WM_COMMAND, 105, 0);
    EXPECT_EQ(EndOf(monitor), 0u);
    EXPECT_EQ(TrayIconOf(monitor.window, kNoIcon, 0), kNoIcon) << "Close leaves no icon";
}

TEST_F(MonitorProgramTest, StartWithAgentRestartAndOutsideCloseLeaveTheAgentRunning)
{
    WriteStateFileBytes("[Settings]\r\nService=6933c113c3\r\n");
    HANDLE agent = StartAgent();
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    EXPECT_EQ(TitleOf(monitor.window), L"嵐川銀行晶片金融卡安控元件");
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '0')) << "stored stopped, agent found: rewritten";

    PostMessageW(monitor.window, WM_COMMAND, 32771, 0);
    EXPECT_EQ(AnswerBox(), L"重啟安控元件成功");
    EXPECT_TRUE(WaitEnded(agent, 0)) << "the old instance was ended";
    EXPECT_FALSE(ProcessesNamed(L"ZelnaNivoroAgent.exe").empty()) << "a new one was launched";

    // A second copy is not refused.
    Monitor second = StartMonitor();
    EXPECT_NE(second.window, nullptr);
    EXPECT_NE(second.window, monitor.window);

    SendMessageW(monitor.window, WM_CLOSE, 0, 0);
    SendMessageW(second.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(EndOf(monitor), 0u);
    EXPECT_EQ(EndOf(second), 0u);
    EXPECT_EQ(TrayIconOf(monitor.window, kNoIcon, 0), kNoIcon) << "a close from outside leaves no dead icon";
    EXPECT_FALSE(ProcessesNamed(L"ZelnaNivoroAgent.exe").empty()) << "closing never touches the agent";
    CloseHandle(agent);
}

TEST_F(MonitorProgramTest, StopEndsEveryAgentAlsoOneOutOfReachAndRestartWorksWithNone)
{
    HANDLE plain = StartAgent();
    HANDLE denied = StartAgent(L"ZelnaNivoroAgent.exe", true);
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);

    PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
    EXPECT_EQ(AnswerBox(), L"停止安控元件成功");
    EXPECT_TRUE(WaitEnded(plain));
    EXPECT_TRUE(WaitEnded(denied)) << "the terminate service ends the one out of reach";
    Sleep(200);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));

    PostMessageW(monitor.window, WM_COMMAND, 32771, 0);
    EXPECT_EQ(AnswerBox(), L"重啟安控元件成功");
    Sleep(200);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '0'));
    EXPECT_FALSE(ProcessesNamed(L"ZelnaNivoroAgent.exe").empty());

    PostMessageW(monitor.window, WM_COMMAND, 105, 0);
    EXPECT_EQ(EndOf(monitor), 0u);
    CloseHandle(plain);
    CloseHandle(denied);
}

// The two rows where stored state and process list agree leave the file alone.
TEST_F(MonitorProgramTest, AgreeingStartsLeaveTheFileUntouched)
{
    const char* stored[] = {"[Settings]\r\nService=6933c113c3\r\n", "[Settings]\r\nService=6933c103c3\r\n"};
    for (int withAgent = 0; withAgent < 2; ++withAgent) {
        WriteStateFileBytes(stored[withAgent]);
        HANDLE agent = withAgent ? StartAgent() : NULL;
        Monitor monitor = StartMonitor();
        ASSERT_NE(monitor.window, nullptr);
        EXPECT_EQ(ReadStateFileBytes(), stored[withAgent]);
        SendMessageW(monitor.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(EndOf(monitor), 0u);
        if (agent != NULL) {
            EndAllAgents();
            CloseHandle(agent);
        }
    }
}

// The tray's press, the real menu, and its entries chosen by keys as a person would.
TEST_F(MonitorProgramTest, RightPressOpensTheMenuWhoseEntriesWork)
{
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);

    // Left button and double-click open nothing.
    PostMessageW(monitor.window, WM_USER + 1, 107, WM_LBUTTONDOWN);
    PostMessageW(monitor.window, WM_USER + 1, 107, WM_LBUTTONDBLCLK);
    Sleep(300);
    EXPECT_EQ(FindWindowW(L"#32768", NULL), nullptr);

    // Second entry: Stop.
    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 2)) << "no menu on a right press";
    EXPECT_EQ(AnswerBox(), L"停止安控元件成功");

    // Third entry past the separator: About, closed by OK, Escape, Enter and its close box.
    const wchar_t aboutCaption[] = L"關於 嵐川銀行晶片金融卡安控元件";
    for (int way = 0; way < 4; ++way) {
        ASSERT_TRUE(ChooseTrayEntry(monitor.window, 3));
        HWND about = WaitWindow(L"#32770", aboutCaption);
        ASSERT_NE(about, nullptr) << "no About box";
        wchar_t text[128] = {};
        EXPECT_GT(GetDlgItemTextW(about, IDOK, text, 128), 0);
        EXPECT_STREQ(text, L"確定");
        if (way == 0) {
            PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
        } else if (way == 1) {
            PostMessageW(GetDlgItem(about, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
        } else if (way == 2) {
            PostMessageW(GetDlgItem(about, IDOK), WM_KEYDOWN, VK_RETURN, 0);
        } else {
            PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        for (int i = 0; i < 200 && IsWindow(about); ++i) {
            Sleep(25);
        }
        EXPECT_FALSE(IsWindow(about)) << "About did not close, way " << way;
    }

    // Last entry: Close.
    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 4));
    EXPECT_EQ(EndOf(monitor), 0u);
}

// The shell re-creating its notification area loses every icon; the monitor's comes back.
TEST_F(MonitorProgramTest, TaskbarCreatedRestoresTheIcon)
{
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    ASSERT_EQ(TrayIconOf(monitor.window, kStoppedIcon), kStoppedIcon) << "no grey icon after start-up";
    DropTrayIcon(monitor.window);
    ASSERT_EQ(TrayIconOf(monitor.window, kNoIcon), kNoIcon);
    SendMessageW(monitor.window, taskbarCreated, 0, 0);
    EXPECT_EQ(TrayIconOf(monitor.window, kStoppedIcon), kStoppedIcon) << "grey icon not restored";

    // In the look it has at the time.
    COPYDATASTRUCT started = {1, 0, NULL};
    SendMessageW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&started));
    ASSERT_EQ(TrayIconOf(monitor.window, kRunningIcon), kRunningIcon);
    DropTrayIcon(monitor.window);
    SendMessageW(monitor.window, taskbarCreated, 0, 0);
    EXPECT_EQ(TrayIconOf(monitor.window, kRunningIcon), kRunningIcon) << "colour icon not restored";
    SendMessageW(monitor.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(EndOf(monitor), 0u);
}

// Keys pressed as on a keyboard, through the system's input queue, so that
// the receiving thread sees Alt held as a person holding it would.
void PressKeys(std::initializer_list<std::pair<WORD, bool>> keys)
{
    for (const auto& key : keys) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key.first;
        input.ki.dwFlags = key.second ? 0 : KEYEVENTF_KEYUP;
        SendInput(1, &input, sizeof input);
        Sleep(30);
    }
}

// Alt+? and Alt+/ open About while the monitor is the foreground program,
// as it is once its tray menu has been dismissed.
TEST_F(MonitorProgramTest, AltQuestionMarkAndAltSlashOpenAbout)
{
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    const wchar_t aboutCaption[] = L"關於 嵐川銀行晶片金融卡安控元件";
    const bool withShift[] = {true, false};  // "?" is Shift+/ on this keyboard layout
    for (bool shift : withShift) {
        PostMessageW(monitor.window, WM_USER + 1, 0, WM_RBUTTONDOWN);
        HWND menu = WaitWindow(L"#32768", NULL);
        ASSERT_NE(menu, nullptr);
        PressKeys({{VK_ESCAPE, true}, {VK_ESCAPE, false}});
        for (int i = 0; i < 200 && IsWindowVisible(menu); ++i) {
            Sleep(25);
        }
        if (shift) {
            PressKeys({{VK_MENU, true}, {VK_SHIFT, true}, {VK_OEM_2, true}, {VK_OEM_2, false}, {VK_SHIFT, false},
                       {VK_MENU, false}});
        } else {
            PressKeys({{VK_MENU, true}, {VK_OEM_2, true}, {VK_OEM_2, false}, {VK_MENU, false}});
        }
        HWND about = WaitWindow(L"#32770", aboutCaption, 5000);
        ASSERT_NE(about, nullptr) << (shift ? "Alt+? " : "Alt+/ ") << "opened no About box";
        PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
        for (int i = 0; i < 200 && IsWindow(about); ++i) {
            Sleep(25);
        }
    }
    // Alt with another key is no accelerator.
    PressKeys({{VK_MENU, true}, {'A', true}, {'A', false}, {VK_MENU, false}});
    EXPECT_EQ(WaitWindow(L"#32770", aboutCaption, 1000), nullptr);
    SendMessageW(monitor.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(EndOf(monitor), 0u);
}

// A tray program that sits untouched for months should hold no more than it
// needs: no font beyond those Wine gives every window (as the bare tray
// program shows) until it first shows text. The menu stays attached.
TEST_F(MonitorProgramTest, StartUpLoadsNoFontUntilTheFirstBox)
{
    Monitor monitor = StartMonitor(L"font-probe-7d1c");
    ASSERT_NE(monitor.window, nullptr);
    const std::wstring floorPath = BesideThisProgram(L"tray_floor.exe");
    std::wstring floorLine = L"\"" + floorPath + L"\" font-probe-floor";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION floor = {};
    ASSERT_TRUE(CreateProcessW(floorPath.c_str(), &floorLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &floor));
    ASSERT_NE(WaitWindow(L"ZELNANIVOROFLOOR", NULL), nullptr);
    const int host = HostProcessWithMarker(L"font-probe-7d1c");
    const int floorHost = HostProcessWithMarker(L"font-probe-floor");
    ASSERT_NE(host, 0) << "the monitor's host process was not found";
    ASSERT_NE(floorHost, 0);
    EXPECT_NE(GetMenu(monitor.window), nullptr) << "the window keeps its class menu";
    const std::vector<std::string> least = HostMappedFonts(floorHost);
    EXPECT_EQ(HostMappedFonts(host), least) << "start-up loaded a font";

    // The probe sees the font once the monitor does show Chinese text.
    PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
    EXPECT_EQ(AnswerBox(), L"停止安控元件成功");
    EXPECT_GT(HostMappedFonts(host).size(), least.size());
    SendMessageW(monitor.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(EndOf(monitor), 0u);
    TerminateProcess(floor.hProcess, 0);
    CloseHandle(floor.hProcess);
    CloseHandle(floor.hThread);
}

}  // namespace
