#include "world.h"

#include <aclapi.h>
#include <algorithm>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <tlhelp32.h>

bool Eventually(const std::function<bool()>& condition, int timeoutMs)
{
    for (int waited = 0; !condition(); waited += 25, Sleep(25)) {
        if (waited >= timeoutMs) {
            return false;
        }
    }
    return true;
}

namespace {

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(NULL, csidl, NULL, 0, path);
    return path;
}

// Starts a program with the thread handle closed; false (a test failure) when it cannot start.
bool Start(const std::wstring& path, std::wstring arguments, PROCESS_INFORMATION* info)
{
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    const bool started = CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, info);
    EXPECT_TRUE(started) << "cannot start " << std::string(path.begin(), path.end()) << ": " << GetLastError();
    return started && CloseHandle(info->hThread);
}

void EndProcesses(const wchar_t* name)
{
    for (DWORD id : World::Running(name)) {
        // One out of reach first gets a NULL DACL, which its owner may always give.
        if (HANDLE owner = OpenProcess(WRITE_DAC, FALSE, id)) {
            SetSecurityInfo(owner, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
            CloseHandle(owner);
        }
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
}

}  // namespace

void World::SetUp()
{
    TearDown();
    DeleteFileA(StateFilePath().c_str());
    DeleteFileA(StateFolderPath().c_str());  // a plain file some test left there
    RemoveDirectoryA(StateFolderPath().c_str());
    for (const wchar_t* file : {says::kAgentFile, says::kServiceFile}) {
        RemoveDirectoryW((InstallFolder() + L"\\" + file).c_str());  // a folder some test put in its place
        Install(file, true);
    }
}

void World::TearDown()
{
    EndProcesses(L"ZelnaNivoroMonitor.exe");
    EndAgents();
}

std::wstring World::InstallFolder() const
{
    return KnownFolder(Shipped32() ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES) + L"\\Zelna\\Nivoro";
}

std::wstring World::Built(const wchar_t* file) const
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    const std::wstring self(path);
    return self.substr(0, self.find_last_of(L'\\') + 1) + (Shipped32() ? L"..\\..\\win32\\bin\\" : L"") + file;
}

void World::Install(const wchar_t* file, bool present)
{
    const std::wstring to = InstallFolder() + L"\\" + file;
    if (!present) {
        DeleteFileW(to.c_str());
        return;
    }
    SHCreateDirectoryExW(NULL, InstallFolder().c_str(), NULL);
    const bool agent = wcscmp(file, says::kAgentFile) == 0;
    const std::wstring from = Built(agent ? L"standin_agent.exe" : L"standin_terminate_service.exe");
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << "cannot install: " << GetLastError();
}

HANDLE World::StartAgent(AgentReach reach, const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + name;
    CopyFileW(Built(L"standin_agent.exe").c_str(), path.c_str(), FALSE);
    const wchar_t* option = L"";
    if (reach == AgentReach::kElevated) {
        option = L"--elevated";
    }
    if (reach == AgentReach::kOtherUser) {
        option = L"--other-user";
    }
    PROCESS_INFORMATION info = {};
    if (!Start(path, option, &info)) {
        return NULL;
    }
    // Ready once listed and out of reach as asked; a 32-bit one may start through an emulator.
    const bool outOfReach = reach != AgentReach::kOwn;
    EXPECT_TRUE(Eventually([&] {
        const std::vector<DWORD> ids = Running(name);
        HANDLE probe = OpenProcess(PROCESS_TERMINATE, FALSE, info.dwProcessId);
        CloseHandle(probe);
        return std::count(ids.begin(), ids.end(), info.dwProcessId) == 1 && (probe == NULL) == outOfReach;
    }, 180000)) << "the stand-in agent did not come up";
    return info.hProcess;
}

std::vector<DWORD> World::Running(const wchar_t* name)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

void World::EndAgents()
{
    for (const wchar_t* name : {says::kAgentFile, L"ZelnaNivoroAgent.exex", L"ZelnaNivoroAgent.ex"}) EndProcesses(name);
}

std::string World::StateFolderPath()
{
    const std::wstring folder = KnownFolder(CSIDL_APPDATA);
    return std::string(folder.begin(), folder.end()) + "\\Zelna";  // plain ASCII under Wine's prefix
}

std::string World::StateFilePath() { return StateFolderPath() + "\\info.ini"; }

void World::WriteStateFile(const std::string& bytes)
{
    CreateDirectoryA(StateFolderPath().c_str(), NULL);
    FILE* file = NULL;
    ASSERT_EQ(fopen_s(&file, StateFilePath().c_str(), "wb"), 0);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

std::string World::StateFileBytes()
{
    std::string bytes;
    FILE* file = NULL;
    if (fopen_s(&file, StateFilePath().c_str(), "rb") == 0) {
        for (int c; (c = fgetc(file)) != EOF;) bytes += static_cast<char>(c);
        fclose(file);
    }
    return bytes;
}

std::string World::StoredValue()
{
    char value[256] = {};
    GetPrivateProfileStringA("Settings", "Service", "", value, sizeof value, StateFilePath().c_str());
    return value;
}

bool World::IsStateValue(const std::string& value, char stateDigit)
{
    return value.size() == 10 && value[6] == stateDigit && value.find_first_not_of("0123456789abcdef") == std::string::npos &&
           value[7] == value[2] && value[8] == value[4] && value[9] == value[3];
}

Monitor World::StartMonitor(const wchar_t* arguments, const std::wstring& program)
{
    Monitor monitor;
    if (!Start(program.empty() ? Built(L"ZelnaNivoroMonitor.exe") : program, arguments, &monitor.info)) {
        return monitor;
    }
    Eventually([&] {
        for (HWND w = NULL; (w = FindWindowExW(NULL, w, says::kMonitorClass, NULL)) != NULL;) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            monitor.window = owner == monitor.info.dwProcessId ? w : monitor.window;
        }
        return monitor.window != NULL || WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_OBJECT_0;
    }, 180000);
    EXPECT_NE(monitor.window, nullptr) << "no monitor window";
    return monitor;
}

DWORD World::EndOf(Monitor& monitor)
{
    DWORD code = 999;
    if (WaitForSingleObject(monitor.info.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(monitor.info.hProcess, &code);
    }
    CloseHandle(monitor.info.hProcess);
    return code;
}

HWND World::FindShown(const wchar_t* className, const wchar_t* title, int timeoutMs)
{
    HWND found = NULL;
    Eventually([&] { return (found = FindWindowW(className, title)) != NULL; }, timeoutMs);
    return found;
}

std::wstring World::AnswerBox(int timeoutMs)
{
    HWND box = FindShown(L"#32770", says::kCaption, timeoutMs);
    wchar_t text[128] = L"<no box>";
    if (box != NULL) {
        GetDlgItemTextW(box, 0xFFFF, text, 128);
        SendMessageW(box, WM_COMMAND, IDOK, 0);
    }
    return text;
}

bool World::Choose(HWND monitor, int entry)
{
    PostMessageW(monitor, says::kTrayCallback, 0, WM_RBUTTONDOWN);
    HWND menu = FindShown(L"#32768", NULL);
    for (int k = 0; menu != NULL && k < entry; ++k) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    }
    return menu != NULL && PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
}

unsigned World::TrayIcon(HWND monitor)
{
    for (unsigned id : {IDI_AGENT_RUNNING, IDI_AGENT_STOPPED}) {
        NOTIFYICONDATAW icon = {};
        icon.cbSize = sizeof icon, icon.hWnd = monitor, icon.uID = id;
        if (Shell_NotifyIconW(NIM_MODIFY, &icon)) {
            return id;
        }
    }
    return 0;
}
