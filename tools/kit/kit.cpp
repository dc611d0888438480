// The test kit's helper for run-suite.cmd, for what cmd cannot do everywhere: Wine's fc and findstr
// answer 0 whatever they are given, so comparing files and listing processes are done here.
//   kit.exe begin              puts back what a broken-off run set aside; refuses to go on where the
//                              suite would harm a real installation; then sets the user's state file aside
//   kit.exe run SECONDS PROGRAM  runs one test program, ended after SECONDS; answers its exit code
//   kit.exe end                puts back what begin set aside and removes what the suite left
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>
#include <wchar.h>

namespace {

const wchar_t kMonitorFile[] = L"ZelnaNivoroMonitor.exe";
const wchar_t kAgentFile[] = L"ZelnaNivoroAgent.exe";
const wchar_t kServiceFile[] = L"ZelnaTerminateService.exe";

// What the suite may create or overwrite, files before the folders that hold them. Whatever of it was
// absent before the run is removed after it; the state file is set aside and put back.
enum Trace { kAgent, kService, kInstallFolder, kMakerFolder, kStateFile, kStateFolder, kTraces };

struct Paths {
    wchar_t kit[MAX_PATH];
    wchar_t saved[MAX_PATH];  // the set-aside state file and the record of what was there
    wchar_t savedState[MAX_PATH];
    wchar_t record[MAX_PATH];
    wchar_t trace[kTraces][MAX_PATH];
};

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

bool Exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// The file, or NULL; the checked open, since Microsoft's runtime marks the plain one deprecated.
FILE* Open(const wchar_t* path, const wchar_t* mode)
{
    FILE* file = NULL;
    return _wfopen_s(&file, path, mode) == 0 ? file : NULL;
}

bool SameBytes(const wchar_t* one, const wchar_t* other)
{
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

// Prints and counts every running process of that name (case-blind, as the suite ends them).
int ReportRunning(const wchar_t* name)
{
    int found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0) {
            wprintf(L"  %ls is running (process %lu): the suite would end it.\n", name, entry.th32ProcessID);
            ++found;
        }
    }
    CloseHandle(snapshot);
    return found;
}

void EndRunning(const wchar_t* name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        HANDLE process = NULL;
        if (_wcsicmp(entry.szExeFile, name) == 0) {
            process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        }
        if (process != NULL) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
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

// The number of reasons not to run, each printed.
int Refusals(const Paths& paths)
{
    int refusals = 0;
    if (!Elevated()) {
        wprintf(L"  Not started as administrator: the suite installs its stand-ins in %ls.\n",
                paths.trace[kInstallFolder]);
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
            wprintf(L"  %ls is not this kit's stand-in: the suite would overwrite it.\n", paths.trace[file.installed]);
            ++refusals;
        }
    }
    refusals += ReportRunning(kMonitorFile);
    refusals += ReportRunning(kAgentFile);
    return refusals;
}

void Remove(const wchar_t* path)
{
    if (!RemoveDirectoryW(path)) {  // only an empty folder: anything else in it was there before
        DeleteFileW(path);
    }
}

// Idempotent, and safe at any point where a run may have been broken off: the record is written before
// the state file is moved, and without a record nothing counts as absent before.
void PutBack(const Paths& paths)
{
    if (!Exists(paths.saved)) {
        return;
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
        wprintf(L"Cannot put back %ls (error %lu): it is still in %ls.\n", paths.trace[kStateFile], GetLastError(),
                paths.saved);
        return;
    }
    for (int trace = 0; trace < kTraces; ++trace) {
        if (found[trace] == '0') {
            Remove(paths.trace[trace]);
        }
    }
    DeleteFileW(paths.record);
    RemoveDirectoryW(paths.saved);
    wprintf(L"Put back: %ls\n", hadState ? L"your info.ini" : L"the machine as the kit found it");
}

bool SetAside(const Paths& paths)
{
    if (!CreateDirectoryW(paths.saved, NULL)) {
        wprintf(L"Cannot set the state file aside in %ls (error %lu).\n", paths.saved, GetLastError());
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
        wprintf(L"Cannot write %ls.\n", paths.record);
        return false;
    }
    if (found[kStateFile] == '1' && !MoveFileW(paths.trace[kStateFile], paths.savedState)) {
        wprintf(L"Cannot set %ls aside (error %lu).\n", paths.trace[kStateFile], GetLastError());
        return false;
    }
    wprintf(L"Set aside until the run ends: %ls\n", found[kStateFile] == '1' ? paths.trace[kStateFile] : L"nothing");
    return true;
}

int Begin(const Paths& paths)
{
    PutBack(paths);
    if (Exists(paths.saved)) {
        return 1;
    }
    const int refusals = Refusals(paths);
    if (refusals > 0) {
        wprintf(L"Refused (%d above): the suite has not run and nothing was changed. See on-windows.md.\n", refusals);
        return 1;
    }
    return SetAside(paths) ? 0 : 1;
}

int Run(DWORD seconds, const wchar_t* program)
{
    // Its output goes where the kit's goes, a console or the file a caller reads.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const HANDLE standard[] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
    for (HANDLE handle : standard) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    wchar_t commandLine[MAX_PATH + 2] = {};
    swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", program);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info)) {
        wprintf(L"Cannot start %ls (error %lu).\n", program, GetLastError());
        return 1;
    }
    CloseHandle(info.hThread);
    DWORD code = 1;
    if (WaitForSingleObject(info.hProcess, seconds * 1000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(info.hProcess, &code);
    } else {
        // What it started would outlive it; begin saw no monitor or agent, so those running are the suite's.
        TerminateProcess(info.hProcess, 1);
        EndRunning(kMonitorFile);
        EndRunning(kAgentFile);
        wprintf(L"%ls did not end within %lu s: ended, with the monitors and agents it left.\n", program, seconds);
    }
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Paths paths;
    Fill(&paths);
    if (argc == 2 && wcscmp(argv[1], L"begin") == 0) {
        return Begin(paths);
    }
    if (argc == 2 && wcscmp(argv[1], L"end") == 0) {
        PutBack(paths);
        return Exists(paths.saved) ? 1 : 0;
    }
    if (argc == 4 && wcscmp(argv[1], L"run") == 0) {
        return Run(wcstoul(argv[2], NULL, 10), argv[3]);
    }
    fwprintf(stderr, L"usage: kit.exe begin | end | run SECONDS PROGRAM\n");
    return 2;
}
