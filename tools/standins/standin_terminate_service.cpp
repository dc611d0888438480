// Stand-in for the elevated terminate service: ends every agent process it
// finds. An agent that denies termination is first given a permissive DACL,
// which its owner may always do.
#include <windows.h>
#include <aclapi.h>
#include <tlhelp32.h>
#include <wchar.h>

static const wchar_t kAgent[] = L"ZelnaNivoroAgent.exe";

static HANDLE OpenForTermination(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (process != NULL) {
        return process;
    }
    HANDLE owner = OpenProcess(WRITE_DAC, FALSE, processId);
    if (owner == NULL) {
        return NULL;
    }
    // A NULL DACL grants everything to everyone.
    SetSecurityInfo(owner, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
    CloseHandle(owner);
    return OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 1;
    }
    int failures = 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, kAgent) != 0) {
            continue;
        }
        HANDLE process = OpenForTermination(entry.th32ProcessID);
        if (process == NULL || !TerminateProcess(process, 0)) {
            ++failures;
        } else {
            WaitForSingleObject(process, 5000);
        }
        if (process != NULL) {
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return failures == 0 ? 0 : 1;
}
