// The real monitor program through one day of use, driven from outside as
// the shell, a person and other programs drive it: once as the 64-bit twin,
// once as the shipped 32-bit build.
#include "world_test.h"

#include "agent_state.h"
#include "monitor_window.h"

namespace {

// The About box goes at once once told.
const int kAboutGoesMs = 5000;
// How long an agent that Close must leave alone is watched.
const DWORD kAgentLeftAloneMs = 1000;

class MonitorProgram : public WorldTest, public ::testing::WithParamInterface<bool> {
public:
    bool Shipped32() const override { return GetParam(); }
};

TEST_P(MonitorProgram, ThroughADayOfUse)
{
    // Arguments are ignored; no agent yet, so the first start says stopped.
    Monitor monitor = StartMonitor(L"--restart /stop \"x y\"");
    ASSERT_NE(monitor.window, nullptr);
    BOOL wow64 = FALSE;
    IsWow64Process(monitor.info.hProcess, &wow64);
    BOOL selfWow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &selfWow64);
    const bool windows64 = sizeof(void*) == 8 || selfWow64;  // 32-bit Windows runs the 32-bit build natively
    ASSERT_EQ(wow64 != FALSE, GetParam() && windows64) << "not the build this run is for";
    EXPECT_FALSE(IsWindowVisible(monitor.window));

    // Only word 1 counts, and it never touches the file.
    const std::string stored = StateFileBytes();
    COPYDATASTRUCT data = {COPYDATA_AGENT_STARTED + 1, 0, NULL};
    SendMessageW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    EXPECT_EQ(TrayIcon(monitor.window), IDI_AGENT_STOPPED) << "another word taken";
    // The agent, once up, says so itself.
    CloseHandle(StartAnnouncingAgent());
    EXPECT_TRUE(Eventually([&] { return TrayIcon(monitor.window) == IDI_AGENT_RUNNING; })) << "announcement unheard";
    EXPECT_EQ(StateFileBytes(), stored);

    // A hidden menu window of another thread, as Windows keeps one: the monitor's own is the one to drive.
    HWND otherMenu = CreateWindowExW(0, L"#32768", NULL, WS_POPUP, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    ASSERT_TRUE(Choose(monitor.window, says::kEntryRestart)) << "no tray menu";
    EXPECT_EQ(AnswerBox(StartLimitMs()), says::kRestartDone);
    EXPECT_TRUE(Eventually([] { return ReadAgentState() == kAgentRunning; }));

    // About, closed each way a person closes it: at its OK button, or at the box itself.
    const struct {
        const char* way;
        bool atButton;
        UINT message;
        WPARAM word;
    } closes[] = {
        {"OK", false, 0, 0},  // pressed as World::SendOk presses it
        {"Enter", true, WM_KEYDOWN, VK_RETURN},
        {"Escape", true, WM_KEYDOWN, VK_ESCAPE},
        {"close box", false, WM_SYSCOMMAND, SC_CLOSE},
    };
    for (const auto& close : closes) {
        SCOPED_TRACE(close.way);
        ASSERT_TRUE(Choose(monitor.window, says::kEntryAbout));
        HWND about = FindShown(L"#32770", says::kAboutCaption);
        // A click reaches the button only once the box shows.
        ASSERT_TRUE(Eventually([&] { return IsWindowVisible(about) != FALSE; })) << "no About box";
        HWND target = about;
        if (close.atButton) {
            target = GetDlgItem(about, IDOK);
        }
        if (close.message == 0) {
            SendOk(about);
        } else {
            PostMessageW(target, close.message, close.word, 0);
        }
        EXPECT_TRUE(Eventually([&] { return !IsWindow(about); }, kAboutGoesMs)) << "About stays open";
    }

    // Beside the launched agent an elevated one, out of this user's reach: the terminate service ends it.
    CloseHandle(StartAgent(AgentReach::kElevated));
    ASSERT_TRUE(Choose(monitor.window, says::kEntryStop));
    EXPECT_EQ(AnswerBox(StartLimitMs()), says::kStopDone);
    EXPECT_TRUE(Eventually([] { return Running().empty(); }));
    EXPECT_TRUE(Eventually([] { return ReadAgentState() == kAgentStopped; }));
    EXPECT_TRUE(Eventually([&] { return TrayIcon(monitor.window) == IDI_AGENT_STOPPED; })) << "no grey icon";

    // Close ends the monitor and leaves the agent alone.
    HANDLE agent = StartAgent();
    ASSERT_TRUE(Choose(monitor.window, says::kEntryClose));
    EXPECT_EQ(EndOf(monitor), 0u);
    EXPECT_EQ(WaitForSingleObject(agent, kAgentLeftAloneMs), static_cast<DWORD>(WAIT_TIMEOUT))
        << "Close ended the agent";
    CloseHandle(agent);
    DestroyWindow(otherMenu);
}

// The kit's 32-bit test programs have no 64-bit twin beside them.
const std::vector<bool> kBuilds = sizeof(void*) == 8 ? std::vector<bool>{false, true} : std::vector<bool>{true};
INSTANTIATE_TEST_SUITE_P(Builds, MonitorProgram, ::testing::ValuesIn(kBuilds),
                         [](const auto& build) { return build.param ? "Shipped32" : "Twin64"; });

}  // namespace
