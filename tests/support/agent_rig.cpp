#include "agent_rig.h"

#include <aclapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <gtest/gtest.h>

namespace {

const wchar_t kAgentFile[] = L"ZelnaNivoroAgent.exe";
const wchar_t kServiceFile[] = L"ZelnaTerminateService.exe";

std::wstring ScratchFolder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"agents";
    CreateDirectoryW(folder.c_str(), NULL);
    return folder;
}

void Place(const std::wstring& from, const std::wstring& to, bool present)
{
    if (present) {
        ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << "copy failed: " << GetLastError();
    } else {
        DeleteFileW(to.c_str());
    }
}

}  // namespace

std::wstring ProgramFilesFolder()
{
    wchar_t path[MAX_PATH];
    SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, path);
    return path;
}

std::wstring InstallFolder()
{
    return ProgramFilesFolder() + L"\\Zelna\\Nivoro";
}

std::wstring InstallFolderX86()
{
    wchar_t path[MAX_PATH];
    SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILESX86, NULL, 0, path);
    return std::wstring(path) + L"\\Zelna\\Nivoro";
}

std::wstring BesideThisProgram(const wchar_t* file)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L'\\') + 1);
    return folder + file;
}

std::wstring Win32Build(const wchar_t* file)
{
    return BesideThisProgram(L"..\\..\\win32\\bin\\") + file;
}

void InstallStandIns(bool agent, bool terminateService, bool win32)
{
    const std::wstring folder = win32 ? InstallFolderX86() : InstallFolder();
    auto built = win32 ? Win32Build : BesideThisProgram;
    SHCreateDirectoryExW(NULL, folder.c_str(), NULL);
    Place(built(L"standin_agent.exe"), folder + L"\\" + kAgentFile, agent);
    Place(built(L"standin_terminate_service.exe"), folder + L"\\" + kServiceFile, terminateService);
}

HANDLE StartAgent(const wchar_t* fileName, bool denyTerminate, bool win32)
{
    std::wstring path = ScratchFolder() + L"\\" + fileName;
    const std::wstring built = win32 ? Win32Build(L"standin_agent.exe") : BesideThisProgram(L"standin_agent.exe");
    CopyFileW(built.c_str(), path.c_str(), FALSE);
    std::wstring commandLine = L"\"" + path + L"\"" + (denyTerminate ? L" --deny-terminate" : L"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        ADD_FAILURE() << "cannot start the stand-in agent: " << GetLastError();
        return NULL;
    }
    CloseHandle(info.hThread);
    // Ready once it shows in the process list and, if asked, refuses termination;
    // a 32-bit one may start through an emulator, a minute or more.
    for (int tries = 0; tries < 6000; ++tries) {
        bool listed = false;
        for (DWORD id : ProcessesNamed(fileName)) {
            listed = listed || id == info.dwProcessId;
        }
        bool reachable = true;
        if (HANDLE probe = OpenProcess(PROCESS_TERMINATE, FALSE, info.dwProcessId)) {
            CloseHandle(probe);
        } else {
            reachable = false;
        }
        if (listed && reachable != denyTerminate) {
            return info.hProcess;
        }
        Sleep(25);
    }
    ADD_FAILURE() << "the stand-in agent did not come up";
    return info.hProcess;
}

bool WaitEnded(HANDLE process, DWORD timeoutMs)
{
    return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
}

std::vector<DWORD> ProcessesNamed(const wchar_t* fileName)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, fileName) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

void EndAllAgents()
{
    // Every name the tests start agents under.
    const wchar_t* names[] = {kAgentFile, L"ZelnaNivoroAgent.exex", L"ZelnaNivoroAgent.ex"};
    for (const wchar_t* name : names) {
        for (DWORD id : ProcessesNamed(name)) {
            if (HANDLE owner = OpenProcess(WRITE_DAC, FALSE, id)) {
                SetSecurityInfo(owner, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
                CloseHandle(owner);
            }
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
    }
}
