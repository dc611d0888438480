#include "world.h"

#include <aclapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <tlhelp32.h>

bool Eventually(const std::function<bool()>& condition, int timeoutMs)
{
    for (int waited = 0;; waited += 25, Sleep(25)) {
        if (condition()) {
            return true;
        }
        if (waited >= timeoutMs) {
            return false;
        }
    }
}

namespace {

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(NULL, csidl, NULL, 0, path);
    return path;
}

std::wstring BesideThisProgram(const wchar_t* file)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + file;
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
    EndProcesses(L"ZelnaNivoroMonitor.exe");
    EndAgents();
    DeleteFileA(StateFilePath().c_str());
    DeleteFileA(StateFolderPath().c_str());  // a plain file some test left there
    RemoveDirectoryA(StateFolderPath().c_str());
    // Only this world's folder holds stand-ins: whatever the program starts comes from it.
    for (const std::wstring& folder : {KnownFolder(CSIDL_PROGRAM_FILES), KnownFolder(CSIDL_PROGRAM_FILESX86)}) {
        for (const wchar_t* file : {says::kAgentFile, says::kServiceFile}) {
            DeleteFileW((folder + L"\\Zelna\\Nivoro\\" + file).c_str());
            RemoveDirectoryW((folder + L"\\Zelna\\Nivoro\\" + file).c_str());  // a folder in its place
        }
    }
    Install(says::kAgentFile, true);
    Install(says::kServiceFile, true);
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
    return BesideThisProgram(Shipped32() ? (std::wstring(L"..\\..\\win32\\bin\\") + file).c_str() : file);
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
    ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << "cannot install " << GetLastError();
}

HANDLE World::StartAgent(bool outOfReach, const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + name;
    CopyFileW(Built(L"standin_agent.exe").c_str(), path.c_str(), FALSE);
    std::wstring commandLine = L"\"" + path + L"\"" + (outOfReach ? L" --deny-terminate" : L"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        ADD_FAILURE() << "cannot start a stand-in agent: " << GetLastError();
        return NULL;
    }
    CloseHandle(info.hThread);
    // Ready once listed and, if asked, out of reach; a 32-bit one may start through an emulator.
    const bool ready = Eventually([&] {
        bool listed = false;
        for (DWORD id : Running(name)) {
            listed = listed || id == info.dwProcessId;
        }
        HANDLE probe = OpenProcess(PROCESS_TERMINATE, FALSE, info.dwProcessId);
        if (probe != NULL) {
            CloseHandle(probe);
        }
        return listed && (probe == NULL) == outOfReach;
    }, 180000);
    EXPECT_TRUE(ready) << "the stand-in agent did not come up";
    return info.hProcess;
}

std::vector<DWORD> World::Running(const wchar_t* name)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
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
    // Every name tests start agents under.
    for (const wchar_t* name : {says::kAgentFile, L"ZelnaNivoroAgent.exex", L"ZelnaNivoroAgent.ex"}) {
        EndProcesses(name);
    }
}

std::string World::StateFolderPath()
{
    char path[MAX_PATH] = {};
    SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, path);
    return std::string(path) + "\\Zelna";
}

std::string World::StateFilePath()
{
    return StateFolderPath() + "\\info.ini";
}

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
        char chunk[4096];
        for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;) {
            bytes.append(chunk, got);
        }
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
    if (value.size() != 10 || value[6] != stateDigit) {
        return false;
    }
    for (size_t i : {0, 1, 2, 3, 4, 5}) {
        if (!isxdigit(static_cast<unsigned char>(value[i]))) {
            return false;
        }
    }
    return value[7] == value[2] && value[8] == value[4] && value[9] == value[3];
}

Monitor World::StartMonitor(const wchar_t* arguments, const std::wstring& program)
{
    Monitor monitor;
    const std::wstring path = program.empty() ? Built(L"ZelnaNivoroMonitor.exe") : program;
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &monitor.info)) {
        ADD_FAILURE() << "cannot start the monitor: " << GetLastError();
        return monitor;
    }
    CloseHandle(monitor.info.hThread);
    Eventually([&] {
        for (HWND w = NULL; (w = FindWindowExW(NULL, w, says::kMonitorClass, NULL)) != NULL;) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == monitor.info.dwProcessId) {
                monitor.window = w;
            }
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
    monitor.info.hProcess = NULL;
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
    if (box == NULL) {
        return L"<no box>";
    }
    wchar_t text[128] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 128);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
    return text;
}

bool World::Choose(HWND monitor, int entry)
{
    PostMessageW(monitor, says::kTrayCallback, 0, WM_RBUTTONDOWN);
    HWND menu = FindShown(L"#32768", NULL);
    if (menu == NULL) {
        return false;
    }
    for (int k = 0; k < entry; ++k) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    }
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    return true;
}

unsigned World::TrayIcon(HWND monitor)
{
    for (unsigned id : {IDI_AGENT_RUNNING, IDI_AGENT_STOPPED}) {
        NOTIFYICONDATAW icon = {};
        icon.cbSize = sizeof icon;
        icon.hWnd = monitor;
        icon.uID = id;
        if (Shell_NotifyIconW(NIM_MODIFY, &icon)) {
            return id;
        }
    }
    return 0;
}
