// Running one test program in a job of its own, its output passed on, and judging what it answered.
#include "kit_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "kit_output.h"

namespace {

// Beyond every wait of a test program's own: one that hangs is ended and counts as failed.
const DWORD kProgramLimitMs = 600000;
const DWORD kPollMs = 50;

char g_xml[1 << 20];

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

long Attribute(const char* tag, const char* name)
{
    const char* end = strchr(tag, '>');
    const char* at = strstr(tag, name);
    return at != NULL && (end == NULL || at < end) ? atol(at + strlen(name)) : 0;
}

}  // namespace

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
