// The test kit's runner, for what cmd cannot do reliably: a crash's exit code is negative to "if errorlevel",
// and Wine's fc and findstr answer 0 whatever they are given.
//   kit.exe suite   refuses where the suite would harm the machine (changing nothing), sets the user's state
//                   file aside, runs every *_test.exe beside it, each in a job of its own and ended after ten
//                   minutes, puts back what it set aside and ends what the suite left. Writes everything to
//                   kit-results-YYYYMMDD-HHMMSS.txt beside itself (UTF-8). 0: no program failed and nothing was
//                   left; 1: otherwise; 2: refused.
//   kit.exe end     puts back what a broken-off run set aside and ends what it left; 1 when something is left.
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>
#include <wchar.h>

#ifndef KIT_VERSION
#define KIT_VERSION "unknown"
#define KIT_COMMIT  "unknown"
#endif

namespace {

const wchar_t kMonitorFile[] = L"ZelnaNivoroMonitor.exe";
const wchar_t kAgentFile[] = L"ZelnaNivoroAgent.exe";
const wchar_t kServiceFile[] = L"ZelnaTerminateService.exe";
// Every program the suite copies and starts under other names: what runs with these bytes is the suite's.
const wchar_t* const kKitPrograms[] = {L"standin_agent.exe", L"standin_terminate_service.exe", kMonitorFile,
                                       L"dll_search_control.exe"};
// Beyond every wait of a test program's own: one that hangs is ended and counts as failed.
const DWORD kProgramLimitMs = 600000;
const DWORD kPollMs = 50;
const DWORD kTerminatedEndsMs = 5000;
const int kMaxPrograms = 64;
const int kTextChars = 4096;

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

HANDLE g_results = INVALID_HANDLE_VALUE;
char g_xml[1 << 20];

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

void WriteUtf8(HANDLE to, const wchar_t* text, int chars)
{
    char bytes[6 * kTextChars] = {};  // up to three bytes for each of up to twice kTextChars
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, chars, bytes, sizeof bytes, NULL, NULL);
    DWORD written = 0;
    WriteFile(to, bytes, size, &written, NULL);
}

// Text to the console as UTF-16, so that any name shows, or as UTF-8 where the output is a file or pipe; and
// to the results file, with Windows line ends.
void Emit(const wchar_t* text)
{
    wchar_t lines[2 * kTextChars] = {};
    int chars = 0;
    for (const wchar_t* c = text; *c != L'\0' && chars < 2 * kTextChars - 2; ++c) {
        if (*c == L'\n' && (c == text || c[-1] != L'\r')) {
            lines[chars++] = L'\r';
        }
        lines[chars++] = *c;
    }
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, lines, chars, &written, NULL);
    } else {
        WriteUtf8(out, lines, chars);
    }
    if (g_results != INVALID_HANDLE_VALUE) {
        WriteUtf8(g_results, lines, chars);
    }
}

void Say(const wchar_t* format, ...)
{
    wchar_t text[kTextChars] = {};
    va_list arguments;
    va_start(arguments, format);
    vswprintf(text, kTextChars, format, arguments);
    va_end(arguments);
    Emit(text);
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

// Puts back and ends what a run left; the number of things left, each printed.
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

// The number of reasons not to run, each printed; 0 once the user's state file is set aside.
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

const wchar_t* ExceptionName(DWORD code)
{
    const struct {
        DWORD code;
        const wchar_t* name;
    } names[] = {
        {0xC0000005, L"access violation"},
        {0xC00000FD, L"stack overflow"},
        {0xC000013A, L"ended by Ctrl+C or the console's closing"},
        {0xC0000409, L"stack buffer overrun or fast fail (abort in a Visual Studio build)"},
        {0xC0000374, L"heap corruption"},
        {0xC000001D, L"illegal instruction"},
        {0xC0000094, L"integer division by zero"},
        {0x80000003, L"breakpoint"},
        {0xC0000135, L"a DLL was not found"},
        {0xC0000139, L"an entry point was not found"},
        {0xC0000142, L"a DLL failed to initialise"},
    };
    for (const auto& known : names) {
        if (known.code == code) {
            return known.name;
        }
    }
    return L"";
}

// The child's bytes, line by line: UTF-8 where they are, else the system code page.
struct Output {
    char line[kTextChars];
    int size;
};

void FlushLine(Output* output)
{
    wchar_t text[kTextChars + 1] = {};
    int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, output->line, output->size, text, kTextChars);
    if (chars == 0) {
        chars = MultiByteToWideChar(CP_ACP, 0, output->line, output->size, text, kTextChars);
    }
    text[chars] = L'\0';
    Emit(text);
    output->size = 0;
}

void Pump(HANDLE pipe, Output* output)
{
    DWORD available = 0;
    while (PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) && available > 0) {
        char bytes[512];
        DWORD read = 0;
        if (!ReadFile(pipe, bytes, sizeof bytes, &read, NULL) || read == 0) {
            return;
        }
        for (DWORD i = 0; i < read; ++i) {
            output->line[output->size++] = bytes[i];
            if (bytes[i] == '\n' || output->size == kTextChars - 1) {
                FlushLine(output);
            }
        }
    }
}

// Everything the program starts is in its job, so that it all ends with the program, at its limit, and when
// the kit itself is ended (the console closed): the last handle closes and the job ends what it holds.
// Windows 7 nests no jobs: where the kit runs in a job already, the program breaks away from it if that job
// allows it, else it runs without a job of its own and what it leaves is found by EndLeftovers.
HANDLE StartInJob(wchar_t* commandLine, const wchar_t* program, STARTUPINFOW* startup, PROCESS_INFORMATION* info)
{
    HANDLE job = CreateJobObjectW(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    // In a job of its own; else broken away from the kit's; else, where that job forbids it, in none of its own.
    const DWORD ways[] = {0, CREATE_BREAKAWAY_FROM_JOB, 0};
    DWORD refused = 0;
    for (int way = 0; way < 3; ++way) {
        if (!CreateProcessW(program, commandLine, NULL, NULL, TRUE, CREATE_SUSPENDED | ways[way], NULL, NULL, startup,
                            info)) {
            if (way == 0) {
                break;
            }
            continue;
        }
        if (way == 2) {
            Say(L"(Not in a job of its own, error %lu: what it leaves is ended at the end of the run.)\n", refused);
            ResumeThread(info->hThread);
            CloseHandle(job);
            return NULL;
        }
        if (job != NULL && AssignProcessToJobObject(job, info->hProcess)) {
            ResumeThread(info->hThread);
            return job;
        }
        refused = GetLastError();
        TerminateProcess(info->hProcess, 1);
        CloseHandle(info->hThread);
        CloseHandle(info->hProcess);
    }
    if (job != NULL) {
        CloseHandle(job);
    }
    return INVALID_HANDLE_VALUE;
}

// Runs one program with its output shown and kept; its exit code, or STILL_ACTIVE when it was ended at its
// limit, or ~0 when it could not start.
DWORD Run(const wchar_t* program, ULONGLONG* elapsedMs)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE read = NULL;
    HANDLE write = NULL;
    CreatePipe(&read, &write, &inheritable, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write;
    startup.hStdError = write;
    SetHandleInformation(startup.hStdInput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    wchar_t commandLine[MAX_PATH + 2] = {};
    swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", program);
    PROCESS_INFORMATION info = {};
    const ULONGLONG start = GetTickCount64();
    HANDLE job = StartInJob(commandLine, program, &startup, &info);
    CloseHandle(write);
    if (job == INVALID_HANDLE_VALUE) {
        Say(L"Cannot start %ls (error %lu).\n", program, GetLastError());
        CloseHandle(read);
        return ~0u;
    }
    CloseHandle(info.hThread);
    static Output output;
    output.size = 0;
    DWORD code = STILL_ACTIVE;
    bool ended = false;
    while (!ended && GetTickCount64() - start < kProgramLimitMs) {
        ended = WaitForSingleObject(info.hProcess, kPollMs) == WAIT_OBJECT_0;
        Pump(read, &output);
    }
    *elapsedMs = GetTickCount64() - start;
    if (ended) {
        GetExitCodeProcess(info.hProcess, &code);
    }
    // Whatever it started ends with it.
    if (job != NULL) {
        TerminateJobObject(job, 1);
        CloseHandle(job);
    } else {
        TerminateProcess(info.hProcess, 1);
    }
    Pump(read, &output);
    if (output.size > 0) {
        output.line[output.size++] = '\n';
        FlushLine(&output);
    }
    CloseHandle(read);
    CloseHandle(info.hProcess);
    return code;
}

long Attribute(const char* tag, const char* name)
{
    const char* end = strchr(tag, '>');
    const char* at = strstr(tag, name);
    return at != NULL && (end == NULL || at < end) ? atol(at + strlen(name)) : 0;
}

enum Result { kPassed, kFailed, kSkipped };

// Counted from the program's GoogleTest result file: a program that wrote none failed, whatever it answered.
Result Judge(const wchar_t* xml, DWORD code, wchar_t* why)
{
    if (code == STILL_ACTIVE) {
        swprintf(why, kTextChars, L"did not end within %lu s: ended, with everything it started",
                 kProgramLimitMs / 1000);
        return kFailed;
    }
    if (code != 0) {
        const wchar_t* name = ExceptionName(code);
        swprintf(why, kTextChars, L"exit code 0x%08lX%ls%ls", code, *name != L'\0' ? L", " : L"", name);
        return kFailed;
    }
    FILE* file = Open(xml, L"rb");
    const size_t size = file != NULL ? fread(g_xml, 1, sizeof g_xml - 1, file) : 0;
    if (file != NULL) {
        fclose(file);
    }
    g_xml[size] = '\0';
    const char* suites = strstr(g_xml, "<testsuites ");
    if (suites == NULL) {
        swprintf(why, kTextChars, L"exit code 0 but no result file %ls", xml);
        return kFailed;
    }
    const long tests = Attribute(suites, " tests=\"");
    const long failures = Attribute(suites, " failures=\"") + Attribute(suites, " errors=\"");
    long skipped = 0;
    for (const char* at = strstr(g_xml, "result=\"skipped\""); at != NULL; at = strstr(at + 1, "result=\"skipped\"")) {
        ++skipped;
    }
    if (tests == 0 || failures > 0) {
        swprintf(why, kTextChars, L"%ld of %ld tests failed", tests == 0 ? 0 : failures, tests);
        return kFailed;
    }
    swprintf(why, kTextChars, L"%ld tests", tests);
    const char* message = strstr(g_xml, "<skipped message=\"");
    if (message == NULL) {
        return kPassed;
    }
    message += strlen("<skipped message=\"");
    const char* end = strchr(message, '"');
    for (const char* line = strstr(message, "&#x0A;"); line != NULL && line < end; line = strstr(line + 1, "&#x0A;")) {
        message = line + strlen("&#x0A;");  // past the file and line GoogleTest puts first
    }
    wchar_t reason[kTextChars / 2] = {};
    MultiByteToWideChar(CP_UTF8, 0, message, static_cast<int>(end - message), reason, kTextChars / 2 - 1);
    swprintf(why, kTextChars, L"%ld of %ld tests skipped: %ls", skipped, tests, reason);
    return skipped == tests ? kSkipped : kPassed;
}

// Named by the time, so that no run overwrites another's.
void OpenResults(const Paths& paths, wchar_t* name)
{
    for (int attempt = 0; attempt < 3 && g_results == INVALID_HANDLE_VALUE; ++attempt) {
        SYSTEMTIME now = {};
        GetLocalTime(&now);
        swprintf(name, MAX_PATH, L"%lskit-results-%04u%02u%02u-%02u%02u%02u.txt", paths.kit, now.wYear, now.wMonth,
                 now.wDay, now.wHour, now.wMinute, now.wSecond);
        g_results = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (g_results == INVALID_HANDLE_VALUE) {
            Sleep(1000);
        }
    }
    const char bom[] = "\xEF\xBB\xBF";  // so that Notepad before Windows 10 reads it as UTF-8
    DWORD written = 0;
    WriteFile(g_results, bom, sizeof bom - 1, &written, NULL);
}

// What a reader of the results needs of the machine: Windows' own version (GetVersionEx answers a program
// without a manifest entry for Windows 10 with 6.2), its width, who ran it.
void SayMachine(const Paths& paths)
{
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    const auto getVersion = reinterpret_cast<GetVersionFunction>(reinterpret_cast<void (*)()>(found));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion != NULL) {
        getVersion(&version);
    }
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    wchar_t user[256] = {};
    wchar_t machine[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD userChars = 256;
    DWORD machineChars = MAX_COMPUTERNAME_LENGTH + 1;
    GetUserNameW(user, &userChars);
    GetComputerNameW(machine, &machineChars);
    Say(L"Test kit %ls (commit %ls)\n", L"" KIT_VERSION, L"" KIT_COMMIT);
    Say(L"Windows %lu.%lu build %lu %ls, %ls\n", version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
        version.szCSDVersion, wow64 ? L"64-bit" : L"32-bit");
    Say(L"User %ls on %ls, %ls\n", user, machine, Elevated() ? L"elevated (administrator)" : L"not elevated");
    Say(L"Kit folder %ls\n", paths.kit);
}

int Suite(const Paths& paths)
{
    wchar_t results[MAX_PATH] = {};
    OpenResults(paths, results);
    SayMachine(paths);
    const int refusals = Begin(paths);
    if (refusals > 0) {
        Say(L"Send this file: %ls (it names your user and this machine).\n", results);
        Say(L"Refused (%d above): the suite has not run and nothing was changed. See on-windows.md.\n", refusals);
        return 2;
    }
    // The test programs copy stand-ins into their temporary folder: the kit's, not the user's.
    wchar_t temp[MAX_PATH] = {};
    swprintf(temp, MAX_PATH, L"%lstemp", paths.kit);
    CreateDirectoryW(temp, NULL);
    SetEnvironmentVariableW(L"TEMP", temp);
    SetEnvironmentVariableW(L"TMP", temp);
    SetCurrentDirectoryW(paths.kit);
    // Under Wine the first program to use the desktop starts the process that keeps it: started inside a
    // program's job, it would end with the job and take the desktop with it. Windows keeps it elsewhere.
    GetDesktopWindow();
    static wchar_t names[kMaxPrograms][MAX_PATH];
    const int count = Programs(paths, names);
    wchar_t shortKit[MAX_PATH] = {};
    if (GetShortPathNameW(paths.kit, shortKit, MAX_PATH) == 0) {
        wcscpy_s(shortKit, MAX_PATH, paths.kit);
    }
    int counts[3] = {};
    for (int i = 0; i < count; ++i) {
        wchar_t program[MAX_PATH] = {};
        wchar_t xml[MAX_PATH] = {};
        wchar_t setting[MAX_PATH + 4] = {};
        swprintf(program, MAX_PATH, L"%ls%ls", paths.kit, names[i]);
        swprintf(xml, MAX_PATH, L"%ls%.*ls.xml", paths.kit, static_cast<int>(wcslen(names[i]) - 4), names[i]);
        // GoogleTest opens it by a narrow name: the short one, where the folder's name is not in the code page.
        wchar_t shortXml[MAX_PATH] = {};
        swprintf(shortXml, MAX_PATH, L"%ls%.*ls.xml", shortKit, static_cast<int>(wcslen(names[i]) - 4), names[i]);
        swprintf(setting, MAX_PATH + 4, L"xml:%ls", shortXml);
        DeleteFileW(xml);
        SetEnvironmentVariableW(L"GTEST_OUTPUT", setting);
        Say(L"===== %ls\n", names[i]);
        ULONGLONG elapsedMs = 0;
        const DWORD code = Run(program, &elapsedMs);
        wchar_t why[kTextChars] = {};
        const Result result = Judge(xml, code, why);
        ++counts[result];
        const wchar_t* said[] = {L"passed", L"FAILED", L"skipped"};
        Say(L"===== %ls: %ls (%ls; %.1f s)\n", names[i], said[result], why, elapsedMs / 1000.0);
    }
    if (count == 0) {
        Say(L"No test program beside kit.exe.\n");
        counts[kFailed] = 1;
    }
    const int left = Finish(paths);
    Say(L"Send this file: %ls (it names your user and this machine).\n", results);
    Say(L"%d passed, %d failed, %d skipped\n", counts[kPassed], counts[kFailed], counts[kSkipped]);
    return counts[kFailed] > 0 || left > 0 ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // A crash ends at once, not at the error-reporting box; the test programs inherit this.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    Paths paths;
    Fill(&paths);
    if (argc == 2 && wcscmp(argv[1], L"suite") == 0) {
        return Suite(paths);
    }
    if (argc == 2 && wcscmp(argv[1], L"end") == 0) {
        if (OthersRunning(paths) > 0) {
            Say(L"Refused: nothing was changed.\n");
            return 2;
        }
        return Finish(paths) > 0 ? 1 : 0;
    }
    Say(L"usage: kit.exe suite | end\n");
    return 2;
}
