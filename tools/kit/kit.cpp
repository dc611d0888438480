// The test kit's runner, for what cmd cannot do reliably: a crash's exit code is negative to "if errorlevel",
// and Wine's fc and findstr answer 0 whatever they are given.
//   kit.exe suite   refuses where the suite would harm the machine (changing nothing), sets the user's state
//                   file aside, runs every *_test.exe beside it, each in a job of its own and ended after ten
//                   minutes, puts back what it set aside and ends what the suite left. Writes everything to
//                   kit-results-YYYYMMDD-HHMMSS.txt beside itself (UTF-8). 0: no program failed and nothing was
//                   left; 1: otherwise; 2: refused.
//   kit.exe end     puts back what a broken-off run set aside and ends what it left; 1 when something is left.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include "kit_guard.h"
#include "kit_output.h"
#include "kit_run.h"

#ifndef KIT_VERSION
#define KIT_VERSION "unknown"
#define KIT_COMMIT  "unknown"
#endif

namespace {

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
    OpenResults(paths.kit, results);
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
