// One clean world for every program that drives the monitor under Wine (docs/testing.md). The verbs say
// what happened (true, a handle, or NULL) and print why they failed to stderr.
#pragma once

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#include "resource.h"

// What the program shows and where it looks, as a user or peer sees it.
namespace says {
const wchar_t kCaption[] = L"嵐川銀行";
const wchar_t kTitleRunning[] = L"嵐川銀行晶片金融卡安控元件";        // also the Running tooltip
const wchar_t kTitleStopped[] = L"嵐川銀行晶片金融卡安控元件已關閉";  // also the Stopped tooltip
const wchar_t kAboutCaption[] = L"關於 嵐川銀行晶片金融卡安控元件";
const wchar_t kRestartDone[] = L"重啟安控元件成功";
const wchar_t kRestartFailed[] = L"重啟安控元件失敗,請再重新啟動安控元件";
const wchar_t kStopDone[] = L"停止安控元件成功";
const wchar_t kStopFailed[] = L"停止安控元件失敗,請再重新停止安控元件";
const wchar_t kMonitorClass[] = L"ZELNANIVOROMONITOR";
const wchar_t kMonitorFile[] = L"ZelnaNivoroMonitor.exe";
const wchar_t kAgentFile[] = L"ZelnaNivoroAgent.exe";
const wchar_t kServiceFile[] = L"ZelnaTerminateService.exe";
const UINT kTrayCallback = WM_USER + 1;
// Tray menu entries as reached by presses of Down (the separator is skipped).
const int kEntryRestart = 1;
const int kEntryStop = 2;
const int kEntryAbout = 3;
const int kEntryClose = 4;
}  // namespace says

// Polls every pollMs until the condition holds, at most timeoutMs; true when it did.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 10000, int pollMs = 25);

struct Monitor {
    PROCESS_INFORMATION info = {};
    HWND window = NULL;
};

// Whose agent the stand-in plays: this user's own, one elevated in this
// session, or another user's.
enum class AgentReach { kOwn, kElevated, kOtherUser };

class World {
public:
    virtual ~World() = default;
    // True for the shipped 32-bit program's world: its build, its stand-ins where it looks.
    virtual bool Shipped32() const { return false; }
    // How long a start of this world's build may take: an emulated 32-bit start takes about a
    // minute here, a native one well under a second. Within each test program's CTest limit.
    int StartLimitMs() const { return Shipped32() ? kEmulatedStartMs : kNativeStartMs; }
    static const int kEmulatedStartMs = 180000;
    static const int kNativeStartMs = 20000;

    // Ends what runs, removes the state file and installs the stand-ins; false when it could not.
    bool LayOut();
    static void EndAll();  // every monitor and agent still running, and every program it started

    std::wstring InstallFolder() const;               // "...\Zelna\Nivoro" as the program sees it
    bool Install(const wchar_t* file, bool present);  // a stand-in as kAgentFile or kServiceFile
    std::wstring Built(const wchar_t* file) const;    // a file of this world's build (bin folder)

    // A stand-in agent under that image name, once it is listed and within or beyond reach
    // as asked; NULL when it did not come up.
    HANDLE StartAgent(AgentReach reach = AgentReach::kOwn, const wchar_t* name = says::kAgentFile);
    // This user's agent that, once up, tells the monitor's window it runs (copy-data 1).
    HANDLE StartAnnouncingAgent();
    static std::vector<DWORD> Running(const wchar_t* name = says::kAgentFile);  // ids, case-blind
    static void EndAgents();                                                    // also those out of reach

    static std::wstring StateFolderPath();
    static std::wstring StateFilePath();
    static bool WriteStateFile(const std::string& bytes);  // creates the folder
    static std::string StateFileBytes();                   // "" when there is none

    // A program started with its thread handle closed; false when it could not start.
    static bool Start(const std::wstring& path, const std::wstring& arguments, PROCESS_INFORMATION* info);
    // The process's top-level window of that class, or NULL.
    static HWND WindowOf(DWORD processId, const wchar_t* className);
    // This world's monitor (or another program) once its window exists; no window when the
    // program's message loop waits for input without one, or the program ended.
    Monitor StartMonitor(const wchar_t* arguments = L"", const std::wstring& program = L"");
    static Monitor StartWindowed(const std::wstring& program, const wchar_t* arguments, const wchar_t* className,
                                 int startLimitMs = kEmulatedStartMs);
    static DWORD EndOf(Monitor& monitor);  // waits; the exit code, 999 when it did not end
    // A top-level window of that class and title (NULL: any), or NULL when none shows in time.
    static HWND FindShown(const wchar_t* className, const wchar_t* title, int timeoutMs = 10000, int pollMs = 25);
    // The monitor's message box: its text, then OK pressed; "<no box>" when none shows.
    static std::wstring AnswerBox(int timeoutMs = kEmulatedStartMs);  // a 32-bit start may be emulated
    static void SendOk(HWND box);                                     // a box's OK button, as a click sends it
    // The real tray menu opened with a right press, an entry (says::kEntry...) chosen by keys.
    static bool Choose(HWND monitor, int entry);
    // Whether the tray holds that icon of the window: a no-change NIM_MODIFY succeeds only then.
    static bool HoldsIcon(HWND window, UINT id);
    // The icon the tray holds for the monitor: IDI_AGENT_RUNNING, IDI_AGENT_STOPPED, or 0 for none.
    static unsigned TrayIcon(HWND monitor);

private:
    HANDLE StartStandIn(const wchar_t* arguments, AgentReach reach, const wchar_t* name);
};
