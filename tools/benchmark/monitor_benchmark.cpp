// Measures the monitor against the tray floor from outside, as the shell and
// a user see it, and writes the raw medians as JSON for the report script.
//   monitor_benchmark MONITOR.exe FLOOR.exe OUT.json [runs] [idle-seconds]
//   monitor_benchmark --tick   (the idle control: a 1 s timer, 5 ms of work a tick)
#include <windows.h>
#include <psapi.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "agent_rig.h"
#include "host_process_view.h"

namespace {

const wchar_t kMonitorClass[] = L"ZELNANIVOROMONITOR";
const wchar_t kFloorClass[] = L"ZELNANIVOROFLOOR";
const int kStop = 32773;
const int kRestart = 32771;

double NowMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * now.QuadPart / frequency.QuadPart;
}

double Median(std::vector<double> values)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

BOOL CALLBACK CountChild(HWND, LPARAM count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

// The tray's icons are windows of the desktop's explorer under its taskbar:
// a new one there means the shell has the program's icon in place.
int TrayWindowCount()
{
    int count = 0;
    if (HWND tray = FindWindowW(L"Shell_TrayWnd", NULL)) {
        EnumChildWindows(tray, CountChild, reinterpret_cast<LPARAM>(&count));
    }
    return count;
}

struct Program {
    PROCESS_INFORMATION info = {};
    HWND window = NULL;
    double startMs = 0;
};

HWND WindowOf(const wchar_t* className, DWORD processId)
{
    for (HWND w = FindWindowExW(NULL, NULL, className, NULL); w != NULL; w = FindWindowExW(NULL, w, className, NULL)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == processId) {
            return w;
        }
    }
    return NULL;
}

// The marker argument, ignored by the programs, finds their host processes.
Program Start(const std::wstring& path, const wchar_t* marker = L"")
{
    Program program;
    std::wstring commandLine = L"\"" + path + L"\" " + marker;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    program.startMs = NowMs();
    if (!CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &program.info)) {
        fprintf(stderr, "cannot start %ls: %lu\n", path.c_str(), GetLastError());
        exit(2);
    }
    CloseHandle(program.info.hThread);
    return program;
}

// Waits for the program's window and, when trayBefore is given, one more tray
// icon window than before. Milliseconds since creation, or -1 on time-out.
double WaitInPlace(Program& program, const wchar_t* className, int trayBefore)
{
    for (int i = 0; i < 30000; ++i) {
        if (program.window == NULL) {
            program.window = WindowOf(className, program.info.dwProcessId);
        }
        if (program.window != NULL && (trayBefore < 0 || TrayWindowCount() > trayBefore)) {
            return NowMs() - program.startMs;
        }
        Sleep(1);
    }
    return -1;
}

void Close(Program& program, int trayBaseline = -1)
{
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(program.info.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(program.info.hProcess, 1);
    }
    CloseHandle(program.info.hProcess);
    // The shell drops the icon of a destroyed window; the next start-up counts from there.
    for (int i = 0; trayBaseline >= 0 && i < 200 && TrayWindowCount() > trayBaseline; ++i) {
        Sleep(10);
    }
}

// Under Wine the host kernel's accounting (GetProcessTimes reports 0 there
// for another process); elsewhere Windows' own, which counts no wake-ups.
HostTimes TimesOf(const Program& program, int hostPid)
{
    if (hostPid != 0) {
        return HostTimesOf(hostPid);
    }
    HostTimes times;
    FILETIME created, ended, kernel, user;
    GetProcessTimes(program.info.hProcess, &created, &ended, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    times.cpuMs = (k.QuadPart + u.QuadPart) / 10000.0;
    times.wakeups = -1;
    return times;
}

struct Figures {
    std::vector<double> startup, privateBytes, workingSet, idleCpu, idleWakeups;
};

bool g_hostAccounting = false;

// The idle control: what the measure must see in a program that polls.
int Tick()
{
    SetTimer(NULL, 0, 1000, NULL);
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        if (msg.message == WM_TIMER) {
            const double until = NowMs() + 5;
            while (NowMs() < until) {
            }
        }
    }
    return 0;
}

void MeasureStartup(const std::wstring& path, const wchar_t* className, Figures& figures, bool keep)
{
    const int baseline = TrayWindowCount();
    Program program = Start(path);
    const double ms = WaitInPlace(program, className, baseline);
    Sleep(1000);  // let start-up settle before reading its memory
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(program.info.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    if (keep) {
        figures.startup.push_back(ms);
        // Wine may leave PrivateUsage empty; its commit charge is the same figure there.
        figures.privateBytes.push_back(static_cast<double>(memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage));
        figures.workingSet.push_back(static_cast<double>(memory.WorkingSetSize));
    }
    Close(program, baseline);
}

// Monitor, floor and control idle side by side over the same stretch, so
// that Wine's own housekeeping falls on all alike.
void MeasureIdle(const std::wstring& monitor, const std::wstring& floor, int seconds, Figures* figures[3])
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    Program programs[3] = {Start(monitor, L"idle-monitor"), Start(floor, L"idle-floor"), Start(self, L"--tick")};
    WaitInPlace(programs[0], kMonitorClass, -1);
    WaitInPlace(programs[1], kFloorClass, -1);
    Sleep(2000);
    const wchar_t* markers[3] = {L"idle-monitor", L"idle-floor", L"--tick"};
    int hosts[3];
    HostTimes before[3];
    g_hostAccounting = true;
    for (int i = 0; i < 3; ++i) {
        hosts[i] = HostProcessWithMarker(markers[i]);
        g_hostAccounting = g_hostAccounting && hosts[i] != 0;
    }
    // One source for all three, or their figures cannot be compared.
    for (int i = 0; i < 3; ++i) {
        hosts[i] = g_hostAccounting ? hosts[i] : 0;
        before[i] = TimesOf(programs[i], hosts[i]);
    }
    Sleep(seconds * 1000);
    for (int i = 0; i < 3; ++i) {
        const HostTimes after = TimesOf(programs[i], hosts[i]);
        figures[i]->idleCpu.push_back(after.cpuMs - before[i].cpuMs);
        figures[i]->idleWakeups.push_back(static_cast<double>(after.wakeups - before[i].wakeups));
    }
    Close(programs[0]);
    Close(programs[1]);
    TerminateProcess(programs[2].info.hProcess, 0);
    CloseHandle(programs[2].info.hProcess);
}

// From posting the command to its message box, less the pauses the command
// is made of; the box is answered and must report success.
double CommandExcess(const std::wstring& monitor, int command, int agents)
{
    EndAllAgents();
    std::vector<HANDLE> started;
    for (int i = 0; i < agents; ++i) {
        started.push_back(StartAgent());
    }
    Program program = Start(monitor);
    WaitInPlace(program, kMonitorClass, -1);
    Sleep(300);
    const double t0 = NowMs();
    PostMessageW(program.window, WM_COMMAND, command, 0);
    HWND box = NULL;
    for (int i = 0; i < 60000 && box == NULL; ++i) {
        box = FindWindowW(L"#32770", L"嵐川銀行");
        if (box == NULL) {
            Sleep(1);
        }
    }
    const double elapsed = NowMs() - t0;
    wchar_t text[128] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 128);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
    const bool success = wcsstr(text, L"成功") != NULL;
    const double pauses = 1500.0 * agents + (command == kStop ? 500 : 1500);
    Sleep(200);
    Close(program);
    EndAllAgents();
    for (HANDLE h : started) {
        CloseHandle(h);
    }
    return success ? elapsed - pauses : -1;
}

void PutList(FILE* out, const char* name, const std::vector<double>& values, bool last = false)
{
    fprintf(out, "    \"%s\": {\"median\": %.2f, \"runs\": [", name, Median(values));
    for (size_t i = 0; i < values.size(); ++i) {
        fprintf(out, "%s%.2f", i ? ", " : "", values[i]);
    }
    fprintf(out, "]}%s\n", last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--tick") == 0) {
        return Tick();
    }
    if (argc < 4) {
        fprintf(stderr, "usage: %s MONITOR.exe FLOOR.exe OUT.json [runs] [idle-seconds]\n", argv[0]);
        return 2;
    }
    std::wstring monitor(argv[1], argv[1] + strlen(argv[1]));
    std::wstring floor(argv[2], argv[2] + strlen(argv[2]));
    const int runs = argc > 4 ? atoi(argv[4]) : 5;
    const int idleSeconds = argc > 5 ? atoi(argv[5]) : 60;

    // Start-up with the agent absent, so that no specified pause applies.
    EndAllAgents();
    InstallStandIns(true, true);
    // A 32-bit monitor looks in the 32-bit program-files folder.
    std::wstring x86 = ProgramFilesFolder() + L" (x86)\\Zelna\\Nivoro";
    CreateDirectoryW((ProgramFilesFolder() + L" (x86)\\Zelna").c_str(), NULL);
    CreateDirectoryW(x86.c_str(), NULL);
    CopyFileW(BesideThisProgram(L"standin_agent.exe").c_str(), (x86 + L"\\ZelnaNivoroAgent.exe").c_str(), FALSE);
    Figures m, f, control;
    MeasureStartup(monitor, kMonitorClass, m, false);  // first runs warm the caches
    MeasureStartup(floor, kFloorClass, f, false);
    for (int run = 0; run < runs; ++run) {
        MeasureStartup(monitor, kMonitorClass, m, true);
        MeasureStartup(floor, kFloorClass, f, true);
        fprintf(stderr, "start-up run %d: monitor %.1f ms, floor %.1f ms\n", run + 1, m.startup.back(),
                f.startup.back());
    }
    for (int run = 0; run < (runs + 1) / 2; ++run) {
        Figures* all[3] = {&m, &f, &control};
        MeasureIdle(monitor, floor, idleSeconds, all);
        fprintf(stderr, "idle run %d: cpu ms / wake-ups: monitor %.0f / %.0f, floor %.0f / %.0f, control %.0f / %.0f\n",
                run + 1, m.idleCpu.back(), m.idleWakeups.back(), f.idleCpu.back(), f.idleWakeups.back(),
                control.idleCpu.back(), control.idleWakeups.back());
    }
    const int counts[] = {0, 1, 10};
    std::vector<double> excess[2][3];
    for (int run = 0; run < (runs + 1) / 2; ++run) {
        for (int c = 0; c < 3; ++c) {
            for (int k = 0; k < 2; ++k) {
                excess[k][c].push_back(CommandExcess(monitor, k == 0 ? kStop : kRestart, counts[c]));
                fprintf(stderr, "%s with %d agents: excess %.1f ms\n", k == 0 ? "stop" : "restart", counts[c],
                        excess[k][c].back());
            }
        }
    }

    FILE* out = fopen(argv[3], "w");
    if (out == NULL) {
        fprintf(stderr, "cannot write %s\n", argv[3]);
        return 2;
    }
    fprintf(out, "{\n  \"idle_seconds\": %d,\n  \"idle_accounting\": \"%s\",\n", idleSeconds,
            g_hostAccounting ? "host kernel" : "GetProcessTimes");
    const char* who[] = {"monitor", "floor", "control"};
    Figures* figures[] = {&m, &f, &control};
    for (int p = 0; p < 3; ++p) {
        fprintf(out, "  \"%s\": {\n", who[p]);
        if (p < 2) {
            PutList(out, "startup_ms", figures[p]->startup);
            PutList(out, "private_bytes", figures[p]->privateBytes);
            PutList(out, "working_set", figures[p]->workingSet);
        }
        PutList(out, "idle_cpu_ms", figures[p]->idleCpu);
        PutList(out, "idle_wakeups", figures[p]->idleWakeups, true);
        fprintf(out, "  },\n");
    }
    fprintf(out, "  \"command_excess_ms\": {\n");
    for (int k = 0; k < 2; ++k) {
        for (int c = 0; c < 3; ++c) {
            char name[32];
            snprintf(name, sizeof name, "%s_%d", k == 0 ? "stop" : "restart", counts[c]);
            PutList(out, name, excess[k][c], k == 1 && c == 2);
        }
    }
    fprintf(out, "  }\n}\n");
    fclose(out);
    return 0;
}
