// What protects the tester's machine: nothing runs where it would harm, the user's state file comes back, and
// what the suite left is ended.
#include "kit_guard.h"

#include <aclapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>
#include <wchar.h>

#include "kit_output.h"

namespace {

const wchar_t kMonitorFile[] = L"ZelnaNivoroMonitor.exe";
const wchar_t kAgentFile[] = L"ZelnaNivoroAgent.exe";
const wchar_t kServiceFile[] = L"ZelnaTerminateService.exe";
// Every program the suite copies and starts under other names: what runs with these bytes is the suite's.
const wchar_t* const kKitPrograms[] = {L"standin_agent.exe", L"standin_terminate_service.exe", kMonitorFile,
                                       L"dll_search_control.exe"};
const DWORD kTerminatedEndsMs = 5000;

bool Exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool SameBytes(const wchar_t* one, const wchar_t* other)
{
    WIN32_FILE_ATTRIBUTE_DATA oneData = {};
    WIN32_FILE_ATTRIBUTE_DATA otherData = {};
    if (!GetFileAttributesExW(one, GetFileExInfoStandard, &oneData) ||
        !GetFileAttributesExW(other, GetFileExInfoStandard, &otherData) ||
        oneData.nFileSizeLow != otherData.nFileSizeLow || oneData.nFileSizeHigh != otherData.nFileSizeHigh) {
        return false;
    }
    FILE* a = Open(one, L"rb");
    FILE* b = Open(other, L"rb");
    bool same = a != NULL && b != NULL;
    while (same) {
        const int c = fgetc(a);
        same = c == fgetc(b);
        if (c == EOF) {
            break;
        }
    }
    if (a != NULL) {
        fclose(a);
    }
    if (b != NULL) {
        fclose(b);
    }
    return same;
}

// Prints and counts every other running process of that name (case-blind, as the suite ends them).
int ReportRunning(const wchar_t* name, const wchar_t* why)
{
    int found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0 && entry.th32ProcessID != GetCurrentProcessId()) {
            Say(L"  %ls is running (process %lu): %ls\n", name, entry.th32ProcessID, why);
            ++found;
        }
    }
    CloseHandle(snapshot);
    return found;
}

// Files unpacked from a downloaded zip carry the download's mark in a stream; copied into Program Files a
// stand-in keeps it, and opening it then waits for a question nobody answers.
int Marked(const Paths& paths)
{
    wchar_t pattern[MAX_PATH] = {};
    swprintf(pattern, MAX_PATH, L"%ls*", paths.kit);
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW(pattern, &found);
    int marked = 0;
    wchar_t first[MAX_PATH] = {};
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        wchar_t stream[2 * MAX_PATH] = {};
        swprintf(stream, 2 * MAX_PATH, L"%ls%ls:Zone.Identifier", paths.kit, found.cFileName);
        HANDLE mark = CreateFileW(stream, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, 0, NULL);
        if (mark != INVALID_HANDLE_VALUE && ++marked == 1) {
            wcscpy_s(first, MAX_PATH, found.cFileName);
        }
        if (mark != INVALID_HANDLE_VALUE) {
            CloseHandle(mark);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    if (marked > 0) {
        Say(L"  Files of the kit carry the mark of a download (Zone.Identifier: %d, %ls among them). Unblock "
            L"them: in PowerShell, Get-ChildItem -LiteralPath '%ls' | Unblock-File; or delete the folder, tick "
            L"Unblock in the zip's Properties and unpack it again.\n",
            marked, first, paths.kit);
    }
    return marked > 0 ? 1 : 0;
}

// The number of reasons not to run, each printed.
int Refusals(const Paths& paths)
{
    int refusals = 0;
    if (!Elevated()) {
        Say(L"  Not started as administrator: the suite installs its stand-ins in %ls.\n", paths.trace[kInstallFolder]);
        ++refusals;
    }
    const struct {
        Trace installed;
        const wchar_t* standIn;
    } files[] = {{kAgent, L"standin_agent.exe"}, {kService, L"standin_terminate_service.exe"}};
    for (const auto& file : files) {
        wchar_t standIn[MAX_PATH] = {};
        swprintf(standIn, MAX_PATH, L"%ls%ls", paths.kit, file.standIn);
        if (Exists(paths.trace[file.installed]) && !SameBytes(paths.trace[file.installed], standIn)) {
            Say(L"  %ls is not this kit's stand-in: the suite would overwrite it.\n", paths.trace[file.installed]);
            ++refusals;
        }
    }
    refusals += ReportRunning(kMonitorFile, L"the suite would end it.");
    refusals += ReportRunning(kAgentFile, L"the suite would end it.");
    refusals += Marked(paths);
    return refusals;
}

void Remove(const wchar_t* path)
{
    if (!RemoveDirectoryW(path)) {  // only an empty folder: anything else in it was there before
        DeleteFileW(path);
    }
}

// Idempotent, and safe at any point where a run may have been broken off: the record is written before
// the state file is moved, and without a record nothing counts as absent before. The number of things it
// could not put right, each printed.
int PutBack(const Paths& paths)
{
    if (!Exists(paths.saved)) {
        return 0;
    }
    char found[kTraces + 1] = {};
    FILE* record = Open(paths.record, L"rb");
    if (record != NULL) {
        fread(found, 1, kTraces, record);
        fclose(record);
    }
    const bool hadState = Exists(paths.savedState);
    if (hadState || found[kStateFile] == '0') {
        DeleteFileW(paths.trace[kStateFile]);
    }
    if (hadState) {
        // The suite removes the folder, and may leave a plain file in its place.
        DeleteFileW(paths.trace[kStateFolder]);
        CreateDirectoryW(paths.trace[kStateFolder], NULL);
    }
    if (hadState && !MoveFileW(paths.savedState, paths.trace[kStateFile])) {
        Say(L"  Cannot put back %ls (error %lu): it is still in %ls.\n", paths.trace[kStateFile], GetLastError(),
            paths.saved);
        return 1;
    }
    int left = 0;
    for (int trace = 0; trace < kTraces; ++trace) {
        if (found[trace] == '0') {
            Remove(paths.trace[trace]);
        }
        if (found[trace] == '0' && Exists(paths.trace[trace])) {
            Say(L"  Cannot remove %ls (error %lu).\n", paths.trace[trace], GetLastError());
            ++left;
        }
    }
    DeleteFileW(paths.record);
    RemoveDirectoryW(paths.saved);
    Say(L"Put back: %ls\n", hadState ? L"your info.ini" : L"no info.ini (there was none)");
    return left;
}

// A process's image, also where its DACL refuses the query: the suite's agents deny their end to everyone
// but their owner, who may always rewrite the DACL, as the suite itself does to end them.
bool ImageOf(const PROCESSENTRY32W& entry, wchar_t* image)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == NULL && _wcsnicmp(entry.szExeFile, L"Zelna", 5) == 0) {
        HANDLE owner = OpenProcess(WRITE_DAC, FALSE, entry.th32ProcessID);
        if (owner != NULL) {
            SetSecurityInfo(owner, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL);
            CloseHandle(owner);
        }
        process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    }
    DWORD size = MAX_PATH;
    const bool found = process != NULL && QueryFullProcessImageNameW(process, 0, image, &size);
    if (process != NULL) {
        CloseHandle(process);
    }
    return found;
}

// What the suite may have left running where its job could not end it (a program started through "runas",
// or no job at all): every process of a kit program's bytes, under any name. The number it could not end or
// could not tell, each printed.
int EndLeftovers(const Paths& paths)
{
    int left = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        wchar_t image[MAX_PATH] = {};
        const bool named = _wcsnicmp(entry.szExeFile, L"Zelna", 5) == 0;
        if (!ImageOf(entry, image)) {
            if (named) {
                Say(L"  Cannot tell whether %ls (process %lu) is the suite's: end it in Task Manager (Details).\n",
                    entry.szExeFile, entry.th32ProcessID);
                ++left;
            }
            continue;
        }
        bool suites = false;
        for (const wchar_t* program : kKitPrograms) {
            wchar_t kitProgram[MAX_PATH] = {};
            swprintf(kitProgram, MAX_PATH, L"%ls%ls", paths.kit, program);
            suites = suites || SameBytes(image, kitProgram);
        }
        if (!suites) {
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
        const bool ended = process != NULL && TerminateProcess(process, 1) &&
                           WaitForSingleObject(process, kTerminatedEndsMs) == WAIT_OBJECT_0;
        if (process != NULL) {
            CloseHandle(process);
        }
        Say(ended ? L"  Ended %ls (process %lu), which the suite left running.\n"
                  : L"  Cannot end %ls (process %lu), which the suite left running: end it in Task Manager.\n",
            image, entry.th32ProcessID);
        left += ended ? 0 : 1;
    }
    CloseHandle(snapshot);
    return left;
}

bool SetAside(const Paths& paths)
{
    if (!CreateDirectoryW(paths.saved, NULL)) {
        Say(L"Cannot set the state file aside in %ls (error %lu).\n", paths.saved, GetLastError());
        return false;
    }
    char found[kTraces] = {};
    for (int trace = 0; trace < kTraces; ++trace) {
        found[trace] = Exists(paths.trace[trace]) ? '1' : '0';
    }
    FILE* record = Open(paths.record, L"wb");
    const bool recorded = record != NULL && fwrite(found, 1, kTraces, record) == kTraces;
    if (record != NULL) {
        fclose(record);
    }
    if (!recorded) {
        Say(L"Cannot write %ls.\n", paths.record);
        return false;
    }
    if (found[kStateFile] == '1' && !MoveFileW(paths.trace[kStateFile], paths.savedState)) {
        Say(L"Cannot set %ls aside (error %lu).\n", paths.trace[kStateFile], GetLastError());
        return false;
    }
    Say(L"Set aside until the run ends: %ls\n", found[kStateFile] == '1' ? paths.trace[kStateFile] : L"nothing");
    return true;
}

}  // namespace

// The program-files folder as the shipped 32-bit program sees it: "Program Files (x86)" on 64-bit Windows.
void Fill(Paths* paths)
{
    ZeroMemory(paths, sizeof *paths);
    GetModuleFileNameW(NULL, paths->kit, MAX_PATH);
    *(wcsrchr(paths->kit, L'\\') + 1) = L'\0';
    wchar_t programs[MAX_PATH] = {};
    wchar_t appData[MAX_PATH] = {};
    SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, programs);
    SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, appData);
    swprintf(paths->trace[kMakerFolder], MAX_PATH, L"%ls\\Zelna", programs);
    swprintf(paths->trace[kInstallFolder], MAX_PATH, L"%ls\\Zelna\\Nivoro", programs);
    swprintf(paths->trace[kAgent], MAX_PATH, L"%ls\\Zelna\\Nivoro\\%ls", programs, kAgentFile);
    swprintf(paths->trace[kService], MAX_PATH, L"%ls\\Zelna\\Nivoro\\%ls", programs, kServiceFile);
    swprintf(paths->trace[kStateFolder], MAX_PATH, L"%ls\\Zelna", appData);
    swprintf(paths->trace[kStateFile], MAX_PATH, L"%ls\\Zelna\\info.ini", appData);
    swprintf(paths->saved, MAX_PATH, L"%ls\\Zelna-kit-saved", appData);
    swprintf(paths->savedState, MAX_PATH, L"%ls\\info.ini", paths->saved);
    swprintf(paths->record, MAX_PATH, L"%ls\\found.txt", paths->saved);
}

// Sorted, so that every run takes them in the same order.
int Programs(const Paths& paths, wchar_t (*names)[MAX_PATH])
{
    wchar_t pattern[MAX_PATH] = {};
    swprintf(pattern, MAX_PATH, L"%ls*_test.exe", paths.kit);
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW(pattern, &found);
    int count = 0;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more && count < kMaxPrograms;
         more = FindNextFileW(search, &found)) {
        wcscpy_s(names[count++], MAX_PATH, found.cFileName);
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    qsort(names, count, sizeof names[0], [](const void* a, const void* b) {
        return _wcsicmp(static_cast<const wchar_t*>(a), static_cast<const wchar_t*>(b));
    });
    return count;
}

// Another run under way would lose what it set aside if this one put it back: checked before anything else.
int OthersRunning(const Paths& paths)
{
    int running = ReportRunning(L"kit.exe", L"a run of the kit is under way.");
    static wchar_t names[kMaxPrograms][MAX_PATH];
    const int count = Programs(paths, names);
    for (int i = 0; i < count; ++i) {
        running += ReportRunning(names[i], L"a run of the kit is under way.");
    }
    return running;
}

bool Elevated()
{
    HANDLE token = NULL;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
        CloseHandle(token);
    }
    return elevation.TokenIsElevated != 0;
}

int Finish(const Paths& paths)
{
    const int left = EndLeftovers(paths) + PutBack(paths);
    if (left == 0) {
        Say(L"The machine is as the kit found it.\n");
    } else {
        Say(L"Left on this machine (%d above): the kit could not put it right.\n", left);
    }
    return left;
}

int Begin(const Paths& paths)
{
    const int others = OthersRunning(paths);
    if (others > 0) {
        return others;
    }
    if (Exists(paths.saved)) {
        Say(L"A run was broken off: putting it right first.\n");
        Finish(paths);
    }
    if (Exists(paths.saved)) {
        return 1;
    }
    const int refusals = Refusals(paths);
    if (refusals > 0) {
        return refusals;
    }
    return SetAside(paths) ? 0 : 1;
}
