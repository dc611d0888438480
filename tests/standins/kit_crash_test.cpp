// A test program for the kit's own rows, failing as the kit must catch: it crashes (an access violation), or,
// copied under a name with "silent" in it, ends with 0 without writing a result file. With NAME.hold beside it,
// it first leaves running what a test program broken off in the middle leaves (a monitor, an agent that refuses
// its end, a look-alike agent: the kit's stand-in under those names), says NAME.ready, and rewrites the state
// file as the suite's tests do until NAME.hold is gone.
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <wchar.h>

namespace {

const DWORD kLayOutPauseMs = 200;

void Beside(const wchar_t* self, const wchar_t* suffix, wchar_t* path)
{
    swprintf(path, MAX_PATH, L"%ls%ls", self, suffix);
}

void StartStandIn(const wchar_t* kit, const wchar_t* name, const wchar_t* arguments)
{
    wchar_t temp[MAX_PATH] = {};
    wchar_t standIn[MAX_PATH] = {};
    wchar_t copy[MAX_PATH] = {};
    wchar_t commandLine[2 * MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    swprintf(standIn, MAX_PATH, L"%lsstandin_agent.exe", kit);
    swprintf(copy, MAX_PATH, L"%ls%ls", temp, name);
    swprintf(commandLine, 2 * MAX_PATH, L"\"%ls\" %ls", copy, arguments);
    CopyFileW(standIn, copy, FALSE);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(copy, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

void WriteStateFile()
{
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, path);
    wcscat_s(path, MAX_PATH, L"\\Zelna");
    CreateDirectoryW(path, NULL);
    wcscat_s(path, MAX_PATH, L"\\info.ini");
    const char lines[] = "[Settings]\r\nService=0000000000\r\n";
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    WriteFile(file, lines, sizeof lines - 1, &written, NULL);
    CloseHandle(file);
}

}  // namespace

int wmain()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    if (wcsstr(wcsrchr(self, L'\\'), L"silent") != NULL) {
        return 0;
    }
    wchar_t hold[MAX_PATH] = {};
    wchar_t ready[MAX_PATH] = {};
    *wcsrchr(self, L'.') = L'\0';
    Beside(self, L".hold", hold);
    Beside(self, L".ready", ready);
    if (GetFileAttributesW(hold) != INVALID_FILE_ATTRIBUTES) {
        *(wcsrchr(self, L'\\') + 1) = L'\0';
        StartStandIn(self, L"ZelnaNivoroMonitor.exe", L"");
        StartStandIn(self, L"ZelnaNivoroAgent.exe", L"--other-user");
        StartStandIn(self, L"ZelnaNivoroAgent.exex", L"");
        CloseHandle(CreateFileW(ready, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
        while (GetFileAttributesW(hold) != INVALID_FILE_ATTRIBUTES) {
            WriteStateFile();
            Sleep(kLayOutPauseMs);
        }
    }
    // A real access violation, at an address the system keeps for itself (Wine maps page zero of a 32-bit
    // process, so a null pointer would not do), through a pointer the compiler cannot see through.
    int* volatile nowhere = reinterpret_cast<int*>(~static_cast<UINT_PTR>(0) - 15);
    *nowhere = 1;
    return 0;
}
