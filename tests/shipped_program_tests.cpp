// The shipped 32-bit program, driven from this 64-bit test program in one
// scenario: each 32-bit process start may cost a minute under an emulator.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "agent_rig.h"
#include "monitor_driver.h"
#include "state_file_rig.h"

namespace {

const wchar_t kAgentFile[] = L"ZelnaNivoroAgent.exe";
const int kSlowMs = 180000;  // a box that waits on a 32-bit process start
const double kGreyBelow = 0.1, kColourAbove = 0.2;

class ShippedProgramTest : public MonitorWorldTest {
protected:
    void SetUp() override
    {
        MonitorWorldTest::SetUp();
        // The 64-bit folder left empty: whatever the program starts comes from its own.
        InstallStandIns(false, false);
        InstallStandIns(true, true, true);
    }
};

// Waits until the tray slot shows the wanted colour; returns the last reading.
double SlotAfterChange(bool colour)
{
    double s = TraySlotSaturation();
    for (int i = 0; i < 40 && (colour ? s <= kColourAbove : s >= kGreyBelow); ++i, Sleep(250)) {
        s = TraySlotSaturation();
    }
    std::printf("tray slot saturation %.3f, want %s\n", s, colour ? "colour" : "grey");
    return s;
}

TEST_F(ShippedProgramTest, FirstStartCopyDataRestartAboutStopAndClose)
{
    const std::wstring program = Win32Build(L"ZelnaNivoroMonitor.exe");
    ASSERT_NE(GetFileAttributesW(program.c_str()), INVALID_FILE_ATTRIBUTES)
        << "no shipped build: run cmake --build --preset win32 first";
    Monitor monitor = StartMonitor(L"", program);
    ASSERT_NE(monitor.window, nullptr) << "the 32-bit program did not come up: can this machine run wine32?";
    BOOL wow64 = FALSE;
    IsWow64Process(monitor.info.hProcess, &wow64);
    ASSERT_TRUE(wow64) << "not a 32-bit process";

    // First start without an agent.
    EXPECT_EQ(TitleOf(monitor.window), L"嵐川銀行晶片金融卡安控元件已關閉");
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1')) << "first start writes stopped";
    EXPECT_LT(SlotAfterChange(false), kGreyBelow) << "the icon is not grey";

    // The copy-data notification turns it to colour and leaves the file alone.
    const std::string stored = ReadStateFileBytes();
    COPYDATASTRUCT data = {1, 0, NULL};
    EXPECT_EQ(SendMessageW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)), 0);
    EXPECT_GT(SlotAfterChange(true), kColourAbove) << "copy-data did not show the colour icon";
    EXPECT_EQ(ReadStateFileBytes(), stored);

    // The menu's entries, chosen by keys: Restart, Stop, (separator), About, Close.
    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 1)) << "no tray menu";
    EXPECT_EQ(AnswerBox(kSlowMs), L"重啟安控元件成功");
    Sleep(300);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '0'));
    EXPECT_EQ(ProcessesNamed(kAgentFile).size(), 1u) << "Restart launched the 32-bit agent from its folder";

    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 3));
    HWND about = WaitWindow(L"#32770", L"關於 嵐川銀行晶片金融卡安控元件");
    ASSERT_NE(about, nullptr) << "no About box";
    wchar_t text[128] = {};
    GetDlgItemTextW(about, IDOK, text, 128);
    EXPECT_STREQ(text, L"確定");
    PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
    for (int i = 0; i < 200 && IsWindow(about); ++i) {
        Sleep(25);
    }
    EXPECT_FALSE(IsWindow(about)) << "About did not close";

    // Beside the launched agent, one that refuses this user: the terminate service ends it.
    HANDLE denied = StartAgent(kAgentFile, true, true);
    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 2));
    EXPECT_EQ(AnswerBox(kSlowMs), L"停止安控元件成功");
    EXPECT_TRUE(WaitEnded(denied, kSlowMs)) << "the agent out of reach still runs";
    EXPECT_LT(SlotAfterChange(false), kGreyBelow) << "Stop did not show the grey icon";
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));
    EXPECT_TRUE(ProcessesNamed(kAgentFile).empty());
    CloseHandle(denied);

    ASSERT_TRUE(ChooseTrayEntry(monitor.window, 4));
    EXPECT_EQ(EndOf(monitor), 0u);
}

// The control copy: the same program with its call restricting DLL loading
// ("mov dword [esp], 0x800; call [SetDefaultDllDirectories]") made a no-op
// ("mov eax, 1; nop"), to show that this test can tell the difference.
bool WriteControlCopy(const std::wstring& from, const std::wstring& to)
{
    std::ifstream in(from.c_str(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string call("\xc7\x04\x24\x00\x08\x00\x00\xff\x15", 9);
    const size_t at = bytes.find(call);
    if (at == std::string::npos || bytes.find(call, at + 1) != std::string::npos) {
        return false;
    }
    bytes.replace(at + 7, 6, std::string("\xb8\x01\x00\x00\x00\x90", 6));
    std::ofstream out(to.c_str(), std::ios::binary);
    out << bytes;
    return out.good();
}

// Started from a user-writable folder holding a planted uxtheme.dll, which
// user32 loads by name once a window exists. CTest gives this program
// WINEDLLOVERRIDES=uxtheme=n,b (Wine reads it from the Unix environment, not
// from a Windows one set here): native first, so the planted copy would win
// if the search order reached the program's folder.
TEST_F(ShippedProgramTest, DllPlantedBesideTheProgramIsNotLoaded)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"planted";
    CreateDirectoryW(folder.c_str(), NULL);
    const std::wstring shipped = folder + L"\\ZelnaNivoroMonitor.exe", control = folder + L"\\control.exe";
    const std::wstring mark = folder + L"\\uxtheme.dll.loaded";
    ASSERT_TRUE(CopyFileW(Win32Build(L"ZelnaNivoroMonitor.exe").c_str(), shipped.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Win32Build(L"planted_dll.dll").c_str(), (folder + L"\\uxtheme.dll").c_str(), FALSE));
    ASSERT_TRUE(WriteControlCopy(shipped, control)) << "the program's first call is not where the control expects";

    const struct {
        const std::wstring& program;
        bool planted;
    } runs[] = {{control, true}, {shipped, false}};
    for (const auto& run : runs) {
        DeleteFileW(mark.c_str());
        Monitor monitor = StartMonitor(L"", run.program);
        ASSERT_NE(monitor.window, nullptr);
        SendMessageW(monitor.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(EndOf(monitor), 0u);
        EXPECT_EQ(GetFileAttributesW(mark.c_str()) != INVALID_FILE_ATTRIBUTES, run.planted)
            << (run.planted ? "the control did not load the planted DLL: the test proves nothing"
                            : "the shipped program loaded the planted DLL");
    }
}

}  // namespace
