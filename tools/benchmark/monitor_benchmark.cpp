// Measures the monitor against the tray floor from outside, as the shell and
// a user see it, and writes the raw figures as JSON for the report script.
//   monitor_benchmark win32|win64 OUT.json [runs] [idle-seconds] [long-use-count]
//   monitor_benchmark --tick   (the idle control: a 1 s timer, 5 ms of work a tick)
// With a long-use count it drives one monitor through that many menus and
// presentation switches instead, and a tenth as many About boxes.
#include <windows.h>
#include <psapi.h>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "host_process_view.h"
#include "world.h"

namespace {

const wchar_t kFloorClass[] = L"ZELNANIVOROFLOOR";

// The test world, laid out for the build being measured.
class BenchWorld : public World {
public:
    explicit BenchWorld(bool shipped32) : shipped32_(shipped32) {}
    void TestBody() override {}
    bool Shipped32() const override { return shipped32_; }

private:
    bool shipped32_;
};

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

// Polls every millisecond, which the world's verbs are too coarse for, until
// the process has (open) or no longer has a window of that class; false on time-out.
bool WaitOwnWindow(DWORD processId, const wchar_t* className, bool open, int timeoutMs = 10000)
{
    for (int i = 0; i < timeoutMs; ++i, Sleep(1)) {
        if ((WindowOf(className, processId) != NULL) == open) {
            return true;
        }
    }
    return false;
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

struct Memory {
    double privateBytes = 0, workingSet = 0;
};

Memory MemoryOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    Memory figures;
    // Wine may leave PrivateUsage empty; its commit charge is the same figure there.
    figures.privateBytes = static_cast<double>(memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage);
    figures.workingSet = static_cast<double>(memory.WorkingSetSize);
    return figures;
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
    const Memory memory = MemoryOf(program.info.hProcess);
    if (keep) {
        figures.startup.push_back(ms);
        figures.privateBytes.push_back(memory.privateBytes);
        figures.workingSet.push_back(memory.workingSet);
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
    WaitInPlace(programs[0], says::kMonitorClass, -1);
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

// Fonts the first mapped that the second did not.
int FontsBeyond(int host, int floorHost)
{
    const std::vector<std::string> mine = HostMappedFonts(host), least = HostMappedFonts(floorHost);
    std::vector<std::string> extra;
    std::set_difference(mine.begin(), mine.end(), least.begin(), least.end(), std::back_inserter(extra));
    for (const std::string& font : extra) {
        fprintf(stderr, "  font beyond the floor's: %s\n", font.c_str());
    }
    return static_cast<int>(extra.size());
}

struct FontProbe {
    int atStartup = -1, afterBox = -1;  // -1: the host processes were not found
    bool menuAttached = false;
};

// A monitor that sits untouched for months should hold no font beyond those
// Wine gives every window until it first shows text; the menu stays attached.
// The count after its first box shows that the probe does see a font.
FontProbe ProbeFonts(const std::wstring& monitor, const std::wstring& floor)
{
    FontProbe probe;
    Program programs[2] = {Start(monitor, L"font-probe-monitor"), Start(floor, L"font-probe-floor")};
    WaitInPlace(programs[0], says::kMonitorClass, -1);
    WaitInPlace(programs[1], kFloorClass, -1);
    Sleep(1000);
    const int host = HostProcessWithMarker(L"font-probe-monitor"), floorHost = HostProcessWithMarker(L"font-probe-floor");
    probe.menuAttached = GetMenu(programs[0].window) != NULL;
    if (host != 0 && floorHost != 0) {
        probe.atStartup = FontsBeyond(host, floorHost);
    }
    PostMessageW(programs[0].window, WM_COMMAND, ID_CMD_STOP_AGENT, 0);
    const std::wstring said = World::AnswerBox();
    if (host != 0 && floorHost != 0 && said == says::kStopDone) {
        probe.afterBox = FontsBeyond(host, floorHost);
    }
    Close(programs[0]);
    Close(programs[1]);
    return probe;
}

// From posting the command to its message box, less the pauses the command
// is made of; the box is answered and must report success.
double CommandExcess(BenchWorld& world, int command, int agents)
{
    World::EndAgents();
    std::vector<HANDLE> started;
    for (int i = 0; i < agents; ++i) {
        started.push_back(world.StartAgent());
    }
    Monitor monitor = world.StartMonitor();
    Sleep(300);
    const double t0 = NowMs();
    PostMessageW(monitor.window, WM_COMMAND, command, 0);
    HWND box = NULL;
    for (int i = 0; i < 60000 && box == NULL; ++i) {
        box = FindWindowW(L"#32770", says::kCaption);
        if (box == NULL) {
            Sleep(1);
        }
    }
    const double elapsed = NowMs() - t0;
    wchar_t text[128] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 128);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
    const bool success = wcscmp(text, command == ID_CMD_STOP_AGENT ? says::kStopDone : says::kRestartDone) == 0;
    const double pauses = 1500.0 * agents + (command == ID_CMD_STOP_AGENT ? 500 : 1500);
    Sleep(200);
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_CLOSE_TRAY, 0);
    World::EndOf(monitor);
    World::EndAgents();
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

// One monitor through n tray menus opened and dismissed, n presentation
// switches (copy-data 1, every so often a Stop instead, the last one a Stop)
// and n/10 About boxes; its memory before and after. Wine answers 0 for
// handle and GUI object counts, so memory is what long use is judged by.
bool LongUse(BenchWorld& world, int n, FILE* out)
{
    Monitor monitor = world.StartMonitor();
    const DWORD id = monitor.info.dwProcessId;
    int menus = 0, copyData = 0, stops = 0, abouts = 0;
    auto menu = [&] {
        PostMessageW(monitor.window, says::kTrayCallback, 0, WM_RBUTTONDOWN);
        if (!WaitOwnWindow(id, L"#32768", true)) {
            return false;
        }
        PostMessageW(WindowOf(L"#32768", id), WM_KEYDOWN, VK_ESCAPE, 0);
        return WaitOwnWindow(id, L"#32768", false) && ++menus;
    };
    auto about = [&] {
        PostMessageW(monitor.window, WM_COMMAND, ID_CMD_ABOUT, 0);
        HWND box = World::FindShown(L"#32770", says::kAboutCaption);
        if (box == NULL) {
            return false;
        }
        PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
        return WaitOwnWindow(id, L"#32770", false) && ++abouts;
    };
    auto copy = [&] {
        COPYDATASTRUCT data = {1, 0, NULL};
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL,
                                   10000, &result) != 0 && ++copyData;
    };
    auto stop = [&] {
        PostMessageW(monitor.window, WM_COMMAND, ID_CMD_STOP_AGENT, 0);
        // The next command waits until this box is gone, not merely answered.
        return World::AnswerBox() == says::kStopDone && WaitOwnWindow(id, L"#32770", false) && ++stops;
    };
    // Once each first, so that what Windows loads on first use is not counted as growth.
    if (monitor.window == NULL || !menu() || !about() || !copy() || !stop()) {
        fprintf(stderr, "long use: the monitor did not answer its first use\n");
        return false;
    }
    Sleep(300);
    const Memory before = MemoryOf(monitor.info.hProcess);
    menus = copyData = stops = abouts = 0;
    const int stopEvery = std::max(1, n / 100);
    bool answered = true;
    double t0 = NowMs();
    for (int i = 0; i < n && answered; ++i) {
        answered = menu();
    }
    const double menuMs = NowMs() - t0;
    t0 = NowMs();
    for (int i = 0; i < n && answered; ++i) {
        answered = i % stopEvery == stopEvery - 1 ? stop() : copy();
    }
    const double switchMs = NowMs() - t0;
    t0 = NowMs();
    for (int i = 0; i < n / 10 && answered; ++i) {
        answered = about();
    }
    const double aboutMs = NowMs() - t0;
    Sleep(300);
    const Memory after = MemoryOf(monitor.info.hProcess);
    // The last switch was a Stop: one grey icon, as a user would see it.
    const bool grey = World::TrayIcon(monitor.window) == IDI_AGENT_STOPPED;
    const bool alive = WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_TIMEOUT;
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_CLOSE_TRAY, 0);
    const DWORD exitCode = World::EndOf(monitor);
    fprintf(stderr, "long use: %d menus, %d copy-data, %d Stops, %d About boxes%s\n", menus, copyData, stops, abouts,
            answered ? "" : " (stopped: the monitor did not answer)");
    fprintf(out,
            "{\n  \"long_use\": {\"n\": %d, \"menus\": %d, \"copy_data\": %d, \"stops\": %d, \"abouts\": %d,\n"
            "    \"menus_ms\": %.0f, \"switches_ms\": %.0f, \"abouts_ms\": %.0f,\n"
            "    \"private_bytes\": [%.0f, %.0f], \"working_set\": [%.0f, %.0f],\n"
            "    \"ends_grey\": %s, \"alive\": %s, \"exit_code\": %lu}\n}\n",
            n, menus, copyData, stops, abouts, menuMs, switchMs, aboutMs, before.privateBytes, after.privateBytes,
            before.workingSet, after.workingSet, grey ? "true" : "false", alive ? "true" : "false", exitCode);
    return answered;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--tick") == 0) {
        return Tick();
    }
    if (argc < 3 || (strcmp(argv[1], "win32") != 0 && strcmp(argv[1], "win64") != 0)) {
        fprintf(stderr, "usage: %s win32|win64 OUT.json [runs] [idle-seconds] [long-use-count]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? atoi(argv[3]) : 5;
    const int idleSeconds = argc > 4 ? atoi(argv[4]) : 60;
    const int longUse = argc > 5 ? atoi(argv[5]) : 0;
    FILE* out = NULL;
    if (fopen_s(&out, argv[2], "w") != 0) {
        fprintf(stderr, "cannot write %s\n", argv[2]);
        return 2;
    }
    // The world's stand-ins where the measured build looks, no agent running:
    // start-up then takes none of the pauses the commands are made of.
    BenchWorld world(strcmp(argv[1], "win32") == 0);
    world.SetUp();
    const std::wstring monitor = world.Built(L"ZelnaNivoroMonitor.exe"), floor = world.Built(L"tray_floor.exe");
    if (longUse > 0) {
        const bool done = LongUse(world, longUse, out);
        fclose(out);
        world.TearDown();
        return done ? 0 : 1;
    }

    Figures m, f, control;
    MeasureStartup(monitor, says::kMonitorClass, m, false);  // first runs warm the caches
    MeasureStartup(floor, kFloorClass, f, false);
    for (int run = 0; run < runs; ++run) {
        MeasureStartup(monitor, says::kMonitorClass, m, true);
        MeasureStartup(floor, kFloorClass, f, true);
        fprintf(stderr, "start-up run %d: monitor %.1f ms, floor %.1f ms\n", run + 1, m.startup.back(),
                f.startup.back());
    }
    const FontProbe fonts = ProbeFonts(monitor, floor);
    fprintf(stderr, "fonts beyond the floor's: %d at start-up, %d after a box\n", fonts.atStartup, fonts.afterBox);
    for (int run = 0; run < (runs + 1) / 2; ++run) {
        Figures* all[3] = {&m, &f, &control};
        MeasureIdle(monitor, floor, idleSeconds, all);
        fprintf(stderr, "idle run %d: cpu ms / wake-ups: monitor %.0f / %.0f, floor %.0f / %.0f, control %.0f / %.0f\n",
                run + 1, m.idleCpu.back(), m.idleWakeups.back(), f.idleCpu.back(), f.idleWakeups.back(),
                control.idleCpu.back(), control.idleWakeups.back());
    }
    const int counts[] = {0, 1, 10};
    const int commands[] = {ID_CMD_STOP_AGENT, ID_CMD_RESTART_AGENT};
    std::vector<double> excess[2][3];
    for (int run = 0; run < (runs + 1) / 2; ++run) {
        for (int c = 0; c < 3; ++c) {
            for (int k = 0; k < 2; ++k) {
                excess[k][c].push_back(CommandExcess(world, commands[k], counts[c]));
                fprintf(stderr, "%s with %d agents: excess %.1f ms\n", k == 0 ? "stop" : "restart", counts[c],
                        excess[k][c].back());
            }
        }
    }
    world.TearDown();

    fprintf(out, "{\n  \"idle_seconds\": %d,\n  \"idle_accounting\": \"%s\",\n", idleSeconds,
            g_hostAccounting ? "host kernel" : "GetProcessTimes");
    fprintf(out, "  \"fonts\": {\"at_startup\": %d, \"after_box\": %d, \"menu_attached\": %s},\n", fonts.atStartup,
            fonts.afterBox, fonts.menuAttached ? "true" : "false");
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
