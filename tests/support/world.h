// One clean world for every test that runs under Wine: no monitor, no agent,
// no state file, the stand-in agent and terminate service in the install
// folder. Its verbs start agents and monitors, read the state file, answer
// boxes and choose menu entries, so that tests read as stories.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "resource.h"

// What the program shows and where it looks, as a user or peer sees it.
namespace says {
const wchar_t kCaption[] = L"嵐川銀行";
const wchar_t kTitleRunning[] = L"嵐川銀行晶片金融卡安控元件";  // also the Running tooltip
const wchar_t kTitleStopped[] = L"嵐川銀行晶片金融卡安控元件已關閉";  // also the Stopped tooltip
const wchar_t kAboutCaption[] = L"關於 嵐川銀行晶片金融卡安控元件";
const wchar_t kRestartDone[] = L"重啟安控元件成功";
const wchar_t kRestartFailed[] = L"重啟安控元件失敗,請再重新啟動安控元件";
const wchar_t kStopDone[] = L"停止安控元件成功";
const wchar_t kStopFailed[] = L"停止安控元件失敗,請再重新停止安控元件";
const wchar_t kMenuRestart[] = L"重啟安控元件";
const wchar_t kMenuStop[] = L"停止安控元件";
const wchar_t kMenuAbout[] = L"關於";
const wchar_t kMenuClose[] = L"關閉工作列快捷鍵";
const wchar_t kMonitorClass[] = L"ZELNANIVOROMONITOR";
const wchar_t kAgentFile[] = L"ZelnaNivoroAgent.exe";
const wchar_t kServiceFile[] = L"ZelnaTerminateService.exe";
const UINT kTrayCallback = WM_USER + 1;
// Tray menu entries as reached by presses of Down (the separator is skipped).
const int kEntryRestart = 1, kEntryStop = 2, kEntryAbout = 3, kEntryClose = 4;
}  // namespace says

// Polls until the condition holds, at most timeoutMs; true when it did.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 10000);

struct Monitor {
    PROCESS_INFORMATION info = {};
    HWND window = NULL;
};

// Its verbs are public, so that the benchmark can use the same world.
class World : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    // True to lay out the world of the shipped 32-bit program: its stand-ins
    // in the folder a 32-bit program sees, its monitor started.
    virtual bool Shipped32() const { return false; }

    // The install folder the program under test looks in ("...\Zelna\Nivoro").
    std::wstring InstallFolder() const;
    // Puts this build's stand-in for kAgentFile or kServiceFile there, or removes it.
    void Install(const wchar_t* file, bool present);
    // A file of this world's build (build/win64/bin or build/win32/bin).
    std::wstring Built(const wchar_t* file) const;

    // Starts a stand-in agent under that image name and waits until it is
    // listed; outOfReach makes it deny PROCESS_TERMINATE to everyone.
    HANDLE StartAgent(bool outOfReach = false, const wchar_t* name = says::kAgentFile);
    // Process ids listed under that image name, ignoring case.
    static std::vector<DWORD> Running(const wchar_t* name = says::kAgentFile);
    // Ends every stand-in agent, also those out of reach.
    static void EndAgents();

    static std::string StateFilePath();
    static std::string StateFolderPath();
    static void WriteStateFile(const std::string& bytes);  // creates the folder
    static std::string StateFileBytes();                   // "" when there is none
    // Settings/Service as the profile API reads it; "" without the key.
    static std::string StoredValue();
    // Ten characters as the writer makes them: time digits, the state digit, the three copies.
    static bool IsStateValue(const std::string& value, char stateDigit);

    // Starts this world's monitor and waits for its hidden window.
    Monitor StartMonitor(const wchar_t* arguments = L"", const std::wstring& program = L"");
    // Waits for the monitor to end; its exit code, 999 when it did not end.
    static DWORD EndOf(Monitor& monitor);

    // A top-level window of that class and title (NULL: any) once it shows, or NULL.
    static HWND FindShown(const wchar_t* className, const wchar_t* title, int timeoutMs = 10000);
    // Waits for the monitor's message box, returns its text and presses OK; "<no box>" if none.
    static std::wstring AnswerBox(int timeoutMs = 10000);
    // Opens the real tray menu with a right press and chooses an entry (says::kEntry...).
    static bool Choose(HWND monitor, int entry);
    // The icon the tray holds for the monitor window: 107 colour, 129 grey, 0 none.
    // A NIM_MODIFY that changes nothing succeeds only for a held icon.
    static unsigned TrayIcon(HWND monitor);
};
