#include "world.h"

#include <aclapi.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <tlhelp32.h>

bool Eventually(const std::function<bool()>& condition, int timeoutMs, int pollMs)
{
    int waited = 0;
    while (!condition()) {
        if (waited >= timeoutMs) {
            return false;
        }
        Sleep(pollMs);
        waited += pollMs;
    }
    return true;
}

namespace {

const int kWindowAfterIdleMs = 10000;
// A closed monitor ends within a second; more is a window that outlived its close.
const DWORD kEndMs = 15000;
// A process that was terminated ends at once; more is a process out of reach after all.
const DWORD kTerminatedEndsMs = 5000;
// The box's text: its static control has no id of its own, and the texts are short.
const int kBoxTextId = 0xFFFF;
const int kBoxTextChars = 128;

// Every process the world started, so that none outlives the test that failed while it ran.
std::vector<HANDLE> g_started;

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(NULL, csidl, NULL, 0, path);
    return path;
}

void EndProcesses(const wchar_t* name)
{
    for (DWORD id : World::Running(name)) {
        // One out of reach first gets a NULL DACL, which its owner may always give.
        HANDLE owner = OpenProcess(WRITE_DAC, FALSE, id);
        if (owner != NULL) {
            SetSecurityInfo(owner, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
            CloseHandle(owner);
        }
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (process != NULL) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, kTerminatedEndsMs);
            CloseHandle(process);
        }
    }
}

const wchar_t* AgentFlag(AgentReach reach)
{
    if (reach == AgentReach::kElevated) {
        return L"--elevated";
    }
    if (reach == AgentReach::kOtherUser) {
        return L"--other-user";
    }
    return L"";
}

}  // namespace

bool World::LayOut()
{
    EndAll();
    DeleteFileW(StateFilePath().c_str());
    DeleteFileW(StateFolderPath().c_str());  // a plain file some test left there
    RemoveDirectoryW(StateFolderPath().c_str());
    bool installed = true;
    for (const wchar_t* file : {says::kAgentFile, says::kServiceFile}) {
        RemoveDirectoryW((InstallFolder() + L"\\" + file).c_str());  // a folder some test put in its place
        if (!Install(file, true)) {
            installed = false;
        }
    }
    return installed;
}

void World::EndAll()
{
    for (HANDLE process : g_started) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
    g_started.clear();
    EndProcesses(says::kMonitorFile);
    EndAgents();
}

std::wstring World::InstallFolder() const
{
    const int folder = Shipped32() ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES;
    return KnownFolder(folder) + L"\\Zelna\\Nivoro";
}

std::wstring World::Built(const wchar_t* file) const
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(NULL, path, MAX_PATH);
    const std::wstring self(path);
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\') + 1);
    // The 64-bit tree's programs drive the shipped build in the 32-bit tree; a 32-bit one, in that tree or
    // unpacked from the kit, has it beside itself.
    if (Shipped32() && sizeof(void*) == 8) {
        return folder + L"..\\..\\win32\\bin\\" + file;
    }
    return folder + file;
}

bool World::Install(const wchar_t* file, bool present)
{
    const std::wstring to = InstallFolder() + L"\\" + file;
    if (!present) {
        DeleteFileW(to.c_str());
        return true;
    }
    SHCreateDirectoryExW(NULL, InstallFolder().c_str(), NULL);
    const bool agent = wcscmp(file, says::kAgentFile) == 0;
    const std::wstring from = Built(agent ? L"standin_agent.exe" : L"standin_terminate_service.exe");
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        fprintf(stderr, "cannot install %ls: error %lu\n", to.c_str(), GetLastError());
        return false;
    }
    // Without the download's mark, which the copy keeps: opened marked, the agent would wait for a question.
    DeleteFileW((to + L":Zone.Identifier").c_str());
    return true;
}

HANDLE World::StartAgent(AgentReach reach, const wchar_t* name)
{
    return StartStandIn(AgentFlag(reach), reach, name);
}

HANDLE World::StartAnnouncingAgent()
{
    return StartStandIn(L"--announce", AgentReach::kOwn, says::kAgentFile);
}

HANDLE World::StartStandIn(const wchar_t* arguments, AgentReach reach, const wchar_t* name)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + name;
    CopyFileW(Built(L"standin_agent.exe").c_str(), path.c_str(), FALSE);
    PROCESS_INFORMATION info = {};
    if (!Start(path, arguments, &info)) {
        return NULL;
    }
    // Ready once listed and within or beyond reach as asked; a 32-bit one may start through an emulator.
    const bool beyondReach = reach != AgentReach::kOwn;
    const bool ready = Eventually(
        [&] {
            const std::vector<DWORD> ids = Running(name);
            const bool listed = std::find(ids.begin(), ids.end(), info.dwProcessId) != ids.end();
            HANDLE probe = OpenProcess(PROCESS_TERMINATE, FALSE, info.dwProcessId);
            const bool refused = probe == NULL;
            if (probe != NULL) {
                CloseHandle(probe);
            }
            return listed && refused == beyondReach;
        },
        StartLimitMs());
    if (!ready) {
        fprintf(stderr, "the stand-in agent %ls did not come up as asked\n", name);
        TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hProcess);
        return NULL;
    }
    return info.hProcess;
}

std::vector<DWORD> World::Running(const wchar_t* name)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    BOOL more = Process32FirstW(snapshot, &entry);
    while (more) {
        if (_wcsicmp(entry.szExeFile, name) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
        more = Process32NextW(snapshot, &entry);
    }
    CloseHandle(snapshot);
    return ids;
}

void World::EndAgents()
{
    // Also the look-alike names some tests start beside the agent.
    for (const wchar_t* name : {says::kAgentFile, L"ZelnaNivoroAgent.exex", L"ZelnaNivoroAgent.ex"}) {
        EndProcesses(name);
    }
}

std::wstring World::StateFolderPath()
{
    return KnownFolder(CSIDL_APPDATA) + L"\\Zelna";
}

std::wstring World::StateFilePath()
{
    return StateFolderPath() + L"\\info.ini";
}

bool World::WriteStateFile(const std::string& bytes)
{
    CreateDirectoryW(StateFolderPath().c_str(), NULL);
    std::ofstream file(std::filesystem::path(StateFilePath()), std::ios::binary);
    file << bytes;
    file.close();
    if (file.fail()) {
        fprintf(stderr, "cannot write %ls\n", StateFilePath().c_str());
    }
    return !file.fail();
}

std::string World::StateFileBytes()
{
    std::ifstream file(std::filesystem::path(StateFilePath()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool World::Start(const std::wstring& path, const std::wstring& arguments, PROCESS_INFORMATION* info)
{
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, info)) {
        fprintf(stderr, "cannot start %ls: error %lu\n", path.c_str(), GetLastError());
        return false;
    }
    CloseHandle(info->hThread);
    HANDLE kept = NULL;
    DuplicateHandle(GetCurrentProcess(), info->hProcess, GetCurrentProcess(), &kept, 0, FALSE, DUPLICATE_SAME_ACCESS);
    g_started.push_back(kept);
    return true;
}

HWND World::WindowOf(DWORD processId, const wchar_t* className)
{
    HWND window = FindWindowExW(NULL, NULL, className, NULL);
    while (window != NULL) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId) {
            return window;
        }
        window = FindWindowExW(NULL, window, className, NULL);
    }
    return NULL;
}

Monitor World::StartMonitor(const wchar_t* arguments, const std::wstring& program)
{
    std::wstring path = program;
    if (path.empty()) {
        path = Built(says::kMonitorFile);
    }
    return StartWindowed(path, arguments, says::kMonitorClass, StartLimitMs());
}

Monitor World::StartWindowed(const std::wstring& program, const wchar_t* arguments, const wchar_t* className,
                             int startLimitMs)
{
    Monitor monitor;
    if (!Start(program, arguments, &monitor.info)) {
        return monitor;
    }
    // The window comes before the message loop: once the program waits for input, a window
    // that is not there will not come. An emulated start stretches this wait by itself. Wine
    // was seen to end the wait before the window existed, hence a short grace.
    const DWORD idle = WaitForInputIdle(monitor.info.hProcess, startLimitMs);
    Eventually(
        [&] {
            monitor.window = WindowOf(monitor.info.dwProcessId, className);
            const bool ended = WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_OBJECT_0;
            return monitor.window != NULL || ended;
        },
        kWindowAfterIdleMs);
    if (monitor.window == NULL) {
        fprintf(stderr, "%ls made no %ls window (waiting for input: %lu)\n", program.c_str(), className, idle);
    }
    return monitor;
}

DWORD World::EndOf(Monitor& monitor)
{
    DWORD code = 999;
    if (WaitForSingleObject(monitor.info.hProcess, kEndMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(monitor.info.hProcess, &code);
    }
    CloseHandle(monitor.info.hProcess);
    return code;
}

HWND World::FindShown(const wchar_t* className, const wchar_t* title, int timeoutMs, int pollMs)
{
    HWND found = NULL;
    Eventually(
        [&] {
            found = FindWindowW(className, title);
            return found != NULL;
        },
        timeoutMs, pollMs);
    return found;
}

std::wstring World::AnswerBox(int timeoutMs)
{
    HWND box = FindShown(L"#32770", says::kCaption, timeoutMs);
    if (box == NULL) {
        return L"<no box>";
    }
    wchar_t text[kBoxTextChars] = {};
    GetDlgItemTextW(box, kBoxTextId, text, kBoxTextChars);
    SendOk(box);
    return text;
}

void World::SendOk(HWND box)
{
    // What the button itself sends when pressed: needs no activation, which another process cannot give
    // (BM_CLICK "might fail" where the box is not active).
    SendMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
}

bool World::Choose(HWND monitor, int entry)
{
    PostMessageW(monitor, says::kTrayCallback, 0, WM_RBUTTONDOWN);
    // The monitor's own menu: a shown menu window of its thread, not any other program's on the desktop.
    const DWORD thread = GetWindowThreadProcessId(monitor, NULL);
    HWND menu = NULL;
    Eventually([&] {
        menu = FindWindowExW(NULL, NULL, L"#32768", NULL);
        while (menu != NULL && (GetWindowThreadProcessId(menu, NULL) != thread || !IsWindowVisible(menu))) {
            menu = FindWindowExW(NULL, menu, L"#32768", NULL);
        }
        return menu != NULL;
    });
    if (menu == NULL) {
        fprintf(stderr, "no tray menu\n");
        return false;
    }
    for (int k = 0; k < entry; ++k) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    }
    return PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0) != FALSE;
}

bool World::HoldsIcon(HWND window, UINT id)
{
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = id;
    return Shell_NotifyIconW(NIM_MODIFY, &icon) != FALSE;
}

unsigned World::TrayIcon(HWND monitor)
{
    if (HoldsIcon(monitor, IDI_AGENT_RUNNING)) {
        return IDI_AGENT_RUNNING;
    }
    if (HoldsIcon(monitor, IDI_AGENT_STOPPED)) {
        return IDI_AGENT_STOPPED;
    }
    return 0;
}
