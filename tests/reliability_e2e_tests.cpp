// The real monitor program under Wine, fed hostile state files and random
// messages from outside, used for a long time and hit by the faults of the
// world around it. The tray is judged as a person sees it: on the screen.
#include <gtest/gtest.h>
#include <windows.h>
#include <random>

#include "agent_rig.h"
#include "monitor_driver.h"
#include "reliability_rig.h"
#include "state_file_rig.h"

namespace {

const wchar_t kRunningTitle[] = L"嵐川銀行晶片金融卡安控元件";
const wchar_t kStoppedTitle[] = L"嵐川銀行晶片金融卡安控元件已關閉";
const wchar_t kStopDone[] = L"停止安控元件成功";
const wchar_t kRestartDone[] = L"重啟安控元件成功";
const wchar_t kRestartFailed[] = L"重啟安控元件失敗,請再重新啟動安控元件";
const wchar_t kAboutCaption[] = L"關於 嵐川銀行晶片金融卡安控元件";
// What a long-running monitor may grow by: a little room for Windows' own caches.
const SIZE_T kMemoryAllowance = 2 * 1024 * 1024;

// Polls for what a person would see once the taskbar has repainted.
template <typename F>
bool Eventually(F seen, int timeoutMs = 5000)
{
    for (int waited = 0; waited < timeoutMs; waited += 50, Sleep(50)) {
        if (seen()) {
            return true;
        }
    }
    return seen();
}
bool OneIconIn(bool colour)
{
    return Eventually([colour] {
        const double s = TraySlotSaturation(0);
        return (colour ? s > 0.2 : s < 0.1) && TraySlotSpread(0) > 0.02 && TraySlotSpread(1) < 0.01;
    });
}
bool NoIcon()
{
    return Eventually([] { return TraySlotSpread(0) < 0.01; });
}
bool StoredBecomes(char digit)
{
    return Eventually([digit] { return IsWellFormedValue(StoredValue(), digit); });
}
bool Alive(const Monitor& monitor)
{
    return WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_TIMEOUT;
}
bool NothingOpen(const Monitor& monitor)
{
    return WindowOfProcess(L"#32768", monitor.info.dwProcessId) == NULL &&
           WindowOfProcess(L"#32770", monitor.info.dwProcessId) == NULL;
}
HWND WaitOwnWindow(const Monitor& monitor, const wchar_t* className, bool open = true)
{
    HWND found = NULL;
    for (int i = 0; i < 5000; ++i, Sleep(2)) {
        found = WindowOfProcess(className, monitor.info.dwProcessId);
        if ((found != NULL) == open) {
            break;
        }
    }
    return found;
}

class ReliableMonitorTest : public MonitorWorldTest {
protected:
    void TearDown() override
    {
        EndLeftoverMonitors();
        EndAllAgents();
        SetFileAttributesA(AppDataFolder().c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveStateFile();
        RemoveDirectoryW((InstallFolder() + L"\\ZelnaNivoroAgent.exe").c_str());
        InstallStandIns(true, true);
    }
    static std::string AppDataFolder()
    {
        const std::string folder = StateFolderPath();
        return folder.substr(0, folder.find_last_of('\\'));
    }
    static void Close(Monitor& monitor)
    {
        PostMessageW(monitor.window, WM_COMMAND, 105, 0);
        EXPECT_EQ(EndOf(monitor), 0u);
    }
};

struct SampleCase {
    std::string name;
    std::string bytes;
    int special;  // 0 plain bytes, 1 read-only file, 2 folder, 3 file "Zelna", 4 read-only app-data folder
};

TEST_F(ReliableMonitorTest, SampleOfBadStateFilesThroughStartUpStopAndRestart)
{
    std::vector<SampleCase> cases;
    const std::vector<BadStateFile> files = BadStateFiles(20261207);
    for (size_t i = 0; i < files.size(); i += files.size() / 16) {
        cases.push_back({files[i].name, files[i].bytes, 0});
    }
    const char running[] = "[Settings]\r\nService=6933c103c3\r\n[Keep]\r\nA=B\r\n";
    cases.push_back({"read-only info.ini", running, 1});
    cases.push_back({"info.ini is a folder", "", 2});
    cases.push_back({"plain file Zelna", "", 3});
    cases.push_back({"read-only application-data folder", "", 4});
    int run = 0;
    for (const SampleCase& sample : cases) {
        SCOPED_TRACE(sample.name);
        RemoveStateFile();
        if (sample.special <= 1) {
            WriteStateFileBytes(sample.bytes);
        }
        if (sample.special == 1) {
            SetFileAttributesA(StateFilePath().c_str(), FILE_ATTRIBUTE_READONLY);
        } else if (sample.special == 2) {
            CreateDirectoryA(StateFolderPath().c_str(), NULL);
            CreateDirectoryA(StateFilePath().c_str(), NULL);
        } else if (sample.special == 3) {
            FILE* plain = fopen(StateFolderPath().c_str(), "wb");
            fclose(plain);
        } else if (sample.special == 4) {
            SetFileAttributesA(AppDataFolder().c_str(), FILE_ATTRIBUTE_READONLY);
        }
        const bool mayRefuse = sample.special == 1 || sample.special == 2;
        const ProfileLines before = ProfileOf(StateFilePath());
        const std::string bytes = ReadStateFileBytes();
        const int stored = StateByReadingRule(StateFilePath());
        const bool withAgent = run++ % 5 == 0;
        HANDLE agent = withAgent ? StartAgent() : NULL;

        Monitor monitor = StartMonitor();
        ASSERT_NE(monitor.window, nullptr);
        EXPECT_EQ(TitleOf(monitor.window), withAgent ? kRunningTitle : kStoppedTitle) << "follows the process list";
        if ((stored == 0) == withAgent) {
            EXPECT_EQ(ReadStateFileBytes(), bytes) << "agreeing state, file untouched";
        } else if (!mayRefuse) {
            EXPECT_TRUE(IsWellFormedValue(StoredValue(), withAgent ? '0' : '1'));
        }
        PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
        EXPECT_TRUE(AnswerBoxSaying(kStopDone));
        EXPECT_TRUE(mayRefuse || StoredBecomes('1'));
        PostMessageW(monitor.window, WM_COMMAND, 32771, 0);
        EXPECT_TRUE(AnswerBoxSaying(kRestartDone));
        EXPECT_TRUE(mayRefuse || StoredBecomes('0'));
        Close(monitor);

        if (ReadStateFileBytes() != bytes || !mayRefuse) {
            EXPECT_TRUE(IsWellFormedValue(StoredValue(), '0'));
            EXPECT_EQ(LostLine(before, ProfileOf(StateFilePath())), "");
        }
        EndAllAgents();
        if (agent != NULL) {
            CloseHandle(agent);
        }
        SetFileAttributesA(AppDataFolder().c_str(), FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesA(StateFilePath().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    Figure("state files through the real monitor (start-up, Stop, Restart)", cases.size(), "files");
}

TEST_F(ReliableMonitorTest, TenThousandRandomMessagesChangeOnlyWhatCopyDataOneMay)
{
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    ASSERT_TRUE(OneIconIn(false));
    const std::string bytes = ReadStateFileBytes();
    std::mt19937 random(11);
    int sent = 0;
    const DWORD ms = ElapsedMs([&] {
        // Without a dwData 1 the icon stays grey; with it, it ends in colour.
        for (; sent < 5000; ++sent) {
            ASSERT_TRUE(Deliver(monitor.window, NextRandomMessage(random, 0))) << sent;
        }
        EXPECT_TRUE(OneIconIn(false));
        for (; sent < 10000; ++sent) {
            ASSERT_TRUE(Deliver(monitor.window, NextRandomMessage(random, 0.05))) << sent;
        }
    });
    EXPECT_TRUE(OneIconIn(true));
    EXPECT_TRUE(Alive(monitor));
    EXPECT_TRUE(NothingOpen(monitor));
    EXPECT_EQ(TitleOf(monitor.window), kStoppedTitle);
    EXPECT_EQ(ReadStateFileBytes(), bytes) << "no message writes the file";
    Figure("random messages to the real monitor window", sent, "messages");
    Figure("time for them", ms, "ms");
    Close(monitor);
}

TEST_F(ReliableMonitorTest, LongUseGrowsNoMemory)
{
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    int menus = 0, switches = 0, stops = 0, abouts = 0;
    auto menu = [&] {
        PostMessageW(monitor.window, WM_USER + 1, 107, WM_RBUTTONDOWN);
        HWND popup = WaitOwnWindow(monitor, L"#32768");
        ASSERT_NE(popup, nullptr) << "menu " << menus;
        PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        ASSERT_EQ(WaitOwnWindow(monitor, L"#32768", false), nullptr);
        ++menus;
    };
    auto about = [&] {
        PostMessageW(monitor.window, WM_COMMAND, 104, 0);
        HWND box = WaitWindow(L"#32770", kAboutCaption);
        ASSERT_NE(box, nullptr);
        PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
        ASSERT_EQ(WaitOwnWindow(monitor, L"#32770", false), nullptr);
        ++abouts;
    };
    auto copyData = [&] {
        COPYDATASTRUCT data = {1, 0, NULL};
        DWORD_PTR result;
        SendMessageTimeoutW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 10000,
                            &result);
        ++switches;
    };
    auto stop = [&] {
        PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
        ASSERT_TRUE(AnswerBoxSaying(kStopDone));
        ++switches;
        ++stops;
    };
    // Once each first, so that what Windows loads on first use is not counted as growth.
    menu();
    about();
    copyData();
    stop();
    const ProcessFigures start = FiguresOf(monitor.info.hProcess);
    menus = switches = stops = abouts = 0;
    // Copy-data switches and About boxes cost 50 and 300 ms each under Wine here:
    // the soak runs the full counts (the menu code's 2000 menus also run inside
    // reliability_shell_tests).
    const bool soak = GetEnvironmentVariableA("MONITOR_SOAK", NULL, 0) > 0;
    const int realMenus = soak ? 2000 : 500, allSwitches = soak ? 2000 : 500, allAbouts = soak ? 200 : 50;
    const int stopEvery = allSwitches / 100;  // always 100 Stops
    const DWORD menuMs = ElapsedMs([&] {
        for (int i = 0; i < realMenus; ++i) {
            menu();
        }
    });
    const DWORD switchMs = ElapsedMs([&] {
        for (int i = 0; i < allSwitches; ++i) {
            i % stopEvery == stopEvery - 1 ? stop() : copyData();
        }
    });
    const DWORD aboutMs = ElapsedMs([&] {
        for (int i = 0; i < allAbouts; ++i) {
            about();
        }
    });
    Sleep(300);
    const ProcessFigures end = FiguresOf(monitor.info.hProcess);
    EXPECT_EQ(menus, realMenus);
    EXPECT_EQ(switches, allSwitches);
    EXPECT_EQ(stops, 100);
    EXPECT_EQ(abouts, allAbouts);
    EXPECT_LE(end.privateBytes, start.privateBytes + kMemoryAllowance);
    EXPECT_LE(end.workingSet, start.workingSet + kMemoryAllowance);
    EXPECT_TRUE(OneIconIn(false)) << "the last switch was a Stop";
    Figure("menus opened and dismissed", menus, "menus");
    Figure("presentation switches (copy-data 1)", switches - stops, "switches");
    Figure("presentation switches (successful Stops)", stops, "Stops");
    Figure("About boxes opened and closed", abouts, "boxes");
    Figure("time for the menus", menuMs, "ms");
    Figure("time for the switches", switchMs, "ms");
    Figure("time for the About boxes", aboutMs, "ms");
    Figure("private bytes before", start.privateBytes / 1024.0, "KB");
    Figure("private bytes after", end.privateBytes / 1024.0, "KB");
    Figure("working set before", start.workingSet / 1024.0, "KB");
    Figure("working set after", end.workingSet / 1024.0, "KB");
    Close(monitor);
    EXPECT_TRUE(NoIcon());
}

int StartsOfIdleService(const std::wstring& starts)
{
    int lines = 0;
    FILE* file = _wfopen(starts.c_str(), L"r");
    for (char line[32]; file != NULL && fgets(line, sizeof line, file) != NULL;) {
        ++lines;
    }
    if (file != NULL) {
        fclose(file);
    }
    return lines;
}

std::wstring InstallIdleService()
{
    const std::wstring service = InstallFolder() + L"\\ZelnaTerminateService.exe";
    EXPECT_TRUE(CopyFileW(BesideThisProgram(L"standin_idle_service.exe").c_str(), service.c_str(), FALSE));
    DeleteFileW((service + L".starts").c_str());
    return service + L".starts";
}

TEST_F(ReliableMonitorTest, AgentsThatEndByThemselvesOrComeTwentyAtOnce)
{
    // A terminate service started for an agent already gone would mean an elevation prompt for nothing.
    const std::wstring starts = InstallIdleService();
    HANDLE first = StartAgent();
    HANDLE second = StartAgent();
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
    const DWORD ms = ElapsedMs([&] {
        // The second ends while the first one's pause runs. Wine lets the ended
        // one be terminated again, so it still gets its pause here.
        Sleep(600);
        TerminateProcess(second, 0);
        EXPECT_TRUE(AnswerBoxSaying(kStopDone));
    });
    EXPECT_TRUE(WaitEnded(first, 0));
    EXPECT_TRUE(StoredBecomes('1'));
    EXPECT_EQ(StartsOfIdleService(starts), 0) << "the terminate service was started for an ended agent";
    EXPECT_GE(ms, 1500u + 500u);
    Figure("Stop with one of two agents ending by itself in the pause", ms, "ms");
    CloseHandle(first);
    CloseHandle(second);

    std::vector<HANDLE> agents;
    for (int i = 0; i < 20; ++i) {
        agents.push_back(StartAgent());
    }
    PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
    const DWORD twenty = ElapsedMs([] { EXPECT_TRUE(AnswerBoxSaying(kStopDone, 90000)); });
    for (HANDLE agent : agents) {
        EXPECT_TRUE(WaitEnded(agent, 0));
        CloseHandle(agent);
    }
    EXPECT_GE(twenty, 20u * 1500u + 500u) << "a pause for every instance";
    EXPECT_LT(twenty, 20u * 1500u + 500u + 15000u);
    Figure("Stop of 20 agents at once (pauses 20 x 1500 + 500 ms)", twenty, "ms");
    EXPECT_TRUE(Alive(monitor));
    Close(monitor);
}

TEST_F(ReliableMonitorTest, ATerminateServiceThatEndsNothingIsTriedAgainByTheNextStop)
{
    const std::wstring starts = InstallIdleService();
    HANDLE agent = StartAgent(L"ZelnaNivoroAgent.exe", true);
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    for (int round = 1; round <= 2; ++round) {
        PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
        // The service was started, so the instance counts as handled.
        EXPECT_TRUE(AnswerBoxSaying(kStopDone)) << round;
        EXPECT_TRUE(StoredBecomes('1'));
        EXPECT_FALSE(WaitEnded(agent, 300)) << "nothing ended it";
        EXPECT_EQ(StartsOfIdleService(starts), round) << "each Stop starts the service again";
    }
    EXPECT_TRUE(OneIconIn(false));
    Close(monitor);
    CloseHandle(agent);
    DeleteFileW(starts.c_str());
}

TEST_F(ReliableMonitorTest, RestartFailsWithNoInstallFolderOrAFolderForTheAgent)
{
    for (int way = 0; way < 2; ++way) {
        InstallStandIns(false, false);
        if (way == 0) {
            RemoveDirectoryW(InstallFolder().c_str());
            RemoveDirectoryW((ProgramFilesFolder() + L"\\Zelna").c_str());
        } else {
            ASSERT_TRUE(CreateDirectoryW((InstallFolder() + L"\\ZelnaNivoroAgent.exe").c_str(), NULL));
        }
        Monitor monitor = StartMonitor();
        ASSERT_NE(monitor.window, nullptr);
        const std::string bytes = ReadStateFileBytes();
        PostMessageW(monitor.window, WM_COMMAND, 32771, 0);
        EXPECT_TRUE(AnswerBoxSaying(kRestartFailed)) << way;
        Sleep(200);
        EXPECT_EQ(ReadStateFileBytes(), bytes);
        EXPECT_TRUE(OneIconIn(false));
        Close(monitor);
        RemoveDirectoryW((InstallFolder() + L"\\ZelnaNivoroAgent.exe").c_str());
    }
}

TEST_F(ReliableMonitorTest, CopyDataAndASecondMenuWhileAStopBoxIsOpen)
{
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
    ASSERT_NE(WaitOwnWindow(monitor, L"#32770"), nullptr);
    COPYDATASTRUCT data = {1, 0, NULL};
    SendMessageW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    EXPECT_TRUE(OneIconIn(true)) << "the box's loop still handles copy-data";

    // Restart from a second menu completes first; the Stop completes last.
    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 1));
    EXPECT_TRUE(AnswerBoxSaying(kRestartDone));
    EXPECT_TRUE(StoredBecomes('0'));
    EXPECT_TRUE(OneIconIn(true));
    EXPECT_TRUE(AnswerBoxSaying(kStopDone));
    EXPECT_TRUE(StoredBecomes('1'));
    EXPECT_TRUE(OneIconIn(false));
    EXPECT_TRUE(Alive(monitor));
    EXPECT_TRUE(NothingOpen(monitor));
    Close(monitor);
    EXPECT_TRUE(NoIcon());
}

TEST_F(ReliableMonitorTest, CloseFromASecondMenuWhileAStopBoxIsOpenLeavesNoIcon)
{
    Monitor monitor = StartMonitor();
    ASSERT_NE(monitor.window, nullptr);
    PostMessageW(monitor.window, WM_COMMAND, 32773, 0);
    HWND box = WaitOwnWindow(monitor, L"#32770");
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 4));
    if (WaitForSingleObject(monitor.info.hProcess, 3000) == WAIT_TIMEOUT) {
        printf("the Stop box outlived Close; answered\n");
        AnswerBoxSaying(kStopDone);
    }
    EXPECT_EQ(EndOf(monitor), 0u);
    EXPECT_TRUE(NoIcon());
}

}  // namespace
