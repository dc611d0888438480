#include "agent_process.h"

// ntstatus.h names the NTSTATUS codes that windows.h would otherwise define in part.
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <string.h>
#include <wchar.h>

const wchar_t kAgentImageName[] = L"ZelnaNivoroAgent.exe";
const char kAgentImageNameNarrow[] = "ZelnaNivoroAgent.exe";

int g_stopFailed = 0;

#if defined(_M_IX86) || defined(__i386__)
// The shipped 32-bit program walks the list with the record's documented full size.
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W must be 556 bytes");
#endif

namespace {

const size_t kPathSize = 1280;
const size_t kMaxNameChars = 256;
const size_t kMaxLaunchNameChars = 1024;
const char kInstallFolder[] = "\\Zelna\\Nivoro\\";
const char kTerminateServicePath[] = "\\Zelna\\Nivoro\\ZelnaTerminateService.exe";
const DWORD kAfterOpenPauseMs = 1000;
// The system's process list: a first read big enough for most machines, room for
// processes started between two reads, and a bound on what one Stop may take.
const ULONG kFirstListBytes = 256 * 1024;
const ULONG kListRoomToSpare = 64 * 1024;
const ULONG kMaxListBytes = 16 * 1024 * 1024;

size_t ImageNameLength(const wchar_t* imageName)
{
    return wcsnlen(imageName, kMaxNameChars);
}

// Takes a process snapshot and reads its first entry into *entry.
// Returns the snapshot, or NULL (nothing left open) when the list cannot be read.
HANDLE BeginProcessWalk(PROCESSENTRY32W* entry)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return NULL;
    }
    ZeroMemory(entry, sizeof *entry);
    entry->dwSize = sizeof *entry;
    if (!Process32FirstW(snapshot, entry)) {
        CloseHandle(snapshot);
        return NULL;
    }
    return snapshot;
}

bool ShellResultAccepted(HINSTANCE result)
{
    // ShellExecute's historical contract: values above 32 mean success.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

// Starts the elevated terminate service, which ends agent instances this
// user may not end. True when the shell started it.
bool StartTerminateService(char* path)
{
    ZeroMemory(path, kPathSize);
    if (SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES, NULL, 0, path) != S_OK) {
        return false;
    }
    strcat_s(path, kPathSize, kTerminateServicePath);
    return ShellResultAccepted(ShellExecuteA(GetDesktopWindow(), "runas", path, NULL, NULL, SW_SHOW));
}

// True when the process has exited; a failed query counts as still running.
bool HasEnded(DWORD processId)
{
    DWORD code = STILL_ACTIVE;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process != NULL) {
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
    }
    return code != STILL_ACTIVE;
}

// The system's process list, from the process heap, or NULL when it cannot be read
// within kMaxListBytes and some room to spare.
BYTE* ReadProcessList()
{
    HANDLE heap = GetProcessHeap();
    ULONG size = kFirstListBytes;
    for (;;) {
        BYTE* list = static_cast<BYTE*>(HeapAlloc(heap, 0, size));
        if (list == NULL) {
            return NULL;
        }
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(SystemProcessInformation, list, size, &needed);
        if (NT_SUCCESS(status)) {
            return list;
        }
        HeapFree(heap, 0, list);
        if (status != STATUS_INFO_LENGTH_MISMATCH) {
            return NULL;
        }
        // The list may grow between two reads: ask for more than the last read needed.
        if (needed < size) {
            needed = size;
        }
        if (needed > kMaxListBytes) {
            return NULL;
        }
        size = needed + kListRoomToSpare;
    }
}

// The list's entry for the process, or NULL.
const SYSTEM_PROCESS_INFORMATION* ListedEntry(const BYTE* list, DWORD processId)
{
    const BYTE* at = list;
    for (;;) {
        const SYSTEM_PROCESS_INFORMATION* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(at);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == processId) {
            return entry;
        }
        if (entry->NextEntryOffset == 0) {
            return NULL;
        }
        at += entry->NextEntryOffset;
    }
}

// False when the process runs in another session than this monitor: another
// signed-in user's agent is theirs to stop. The system's process list tells,
// with no access to the process, which this user lacks for another user's.
// Given an image name, also false when the list has the id under another name:
// the instance ended since the snapshot and its id went to another program.
// An unreadable list, or a process missing from it, counts as our own agent.
bool InOwnSession(DWORD processId, const wchar_t* imageName = NULL, size_t n = 0)
{
    BYTE* list = ReadProcessList();
    if (list == NULL) {
        return true;
    }
    const SYSTEM_PROCESS_INFORMATION* own = ListedEntry(list, GetCurrentProcessId());
    const SYSTEM_PROCESS_INFORMATION* its = ListedEntry(list, processId);
    bool ours = its == NULL || (own != NULL && its->SessionId == own->SessionId);
    if (ours && its != NULL && imageName != NULL) {
        // The list's name is counted, not terminated.
        const UNICODE_STRING& name = its->ImageName;
        ours = name.Length / sizeof(wchar_t) == n && _wcsnicmp(name.Buffer, imageName, n) == 0;
    }
    HeapFree(GetProcessHeap(), 0, list);
    return ours;
}

// False for another signed-in user's agent, which the process list shows to
// every user but which says nothing of this user's: their Stop passes it over.
// One this user may open costs the lookup its pause.
bool CountsAsThisUsers(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (process != NULL) {
        CloseHandle(process);
        Sleep(kAfterOpenPauseMs);
        return true;
    }
    return GetLastError() != ERROR_ACCESS_DENIED || InOwnSession(processId);
}

// False when the process behind the handle has another image name than the
// snapshot listed: its id was handed on once the instance ended. True when the
// handle may not ask (opened for termination alone) or the name cannot be read.
bool StillTheAgent(HANDLE process, const wchar_t* imageName, size_t n)
{
    wchar_t path[kPathSize];
    ZeroMemory(path, sizeof path);
    DWORD size = kPathSize;
    if (!QueryFullProcessImageNameW(process, 0, path, &size)) {
        return true;
    }
    const wchar_t* name = wcsrchr(path, L'\\');
    return MatchImageName(name != NULL ? name + 1 : path, imageName, n);
}

}  // namespace

bool MatchImageName(const wchar_t* exeFile, const wchar_t* imageName, size_t n)
{
    // The length test keeps a longer name with the same beginning from matching.
    return wcsnlen(exeFile, MAX_PATH) == n && _wcsnicmp(exeFile, imageName, n) == 0;
}

int IsAgentRunning(const wchar_t* imageName)
{
    int found = 0;
    const size_t n = ImageNameLength(imageName);
    PROCESSENTRY32W entry;
    HANDLE snapshot = BeginProcessWalk(&entry);
    if (snapshot == NULL) {
        return 0;
    }
    do {
        if (MatchImageName(entry.szExeFile, imageName, n) && CountsAsThisUsers(entry.th32ProcessID)) {
            found = 1;
            break;
        }
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return found;
}

int StopAgent(const wchar_t* imageName)
{
    g_stopFailed = 0;
    char path[kPathSize];
    ZeroMemory(path, sizeof path);
    const size_t n = ImageNameLength(imageName);
    PROCESSENTRY32W entry;
    HANDLE snapshot = BeginProcessWalk(&entry);
    if (snapshot == NULL) {
        return 0;
    }
    do {
        if (!MatchImageName(entry.szExeFile, imageName, n)) {
            continue;
        }
        // Read the name through the very handle that ends the process: while it is
        // open, the id cannot pass to another. Where the combined open is refused,
        // termination alone is tried, and the name is not checked.
        HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == NULL) {
            process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        }
        bool handled;
        if (process != NULL && !StillTheAgent(process, imageName, n)) {
            // Ended since the snapshot, its id now another program's: not ours to end.
            CloseHandle(process);
            continue;
        }
        if (process != NULL) {
            handled = TerminateProcess(process, 0) != FALSE;
            if (!handled && HasEnded(entry.th32ProcessID)) {
                // Ended by itself since the snapshot, its process object kept by
                // some handle: no elevation prompt and no pause for it.
                CloseHandle(process);
                continue;
            }
            handled = handled || StartTerminateService(path);
        } else if (GetLastError() == ERROR_ACCESS_DENIED && InOwnSession(entry.th32ProcessID, imageName, n)) {
            // Still running, only out of this user's reach: passing it over
            // would report a stop that did not happen.
            handled = StartTerminateService(path);
        } else {
            // Gone between the snapshot and the open, another session's, or its id
            // another program's: nothing of ours left to stop, no consent to ask for.
            continue;
        }
        if (process != NULL) {
            CloseHandle(process);
        }
        if (!handled) {
            g_stopFailed = 1;
            CloseHandle(snapshot);
            return 0;
        }
        // No wait for the instance to end: this pause is all the time it gets.
        Sleep(kPerInstancePauseMs);
    } while (Process32NextW(snapshot, &entry));
    CloseHandle(snapshot);
    return 1;
}

bool LaunchAgent()
{
    char name[kPathSize];
    ZeroMemory(name, sizeof name);
    strncpy_s(name, sizeof name, kAgentImageNameNarrow, strnlen(kAgentImageNameNarrow, kMaxLaunchNameChars));

    char path[kPathSize];
    ZeroMemory(path, sizeof path);
    if (SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES, NULL, 0, path) != S_OK) {
        return false;
    }
    strcat_s(path, sizeof path, kInstallFolder);
    strcat_s(path, sizeof path, name);
    // The shell would open a folder of that name in a window and report success
    // with no agent started.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    return ShellResultAccepted(ShellExecuteA(GetDesktopWindow(), "open", path, NULL, NULL, SW_SHOW));
}
