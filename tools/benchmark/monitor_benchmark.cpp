// Drives the monitor and the tray floor from outside through the test world's verbs, and
// prints what it measured as "name value" lines for tools/benchmark/benchmark.py:
//   monitor_benchmark win32|win64 startup PAIRS|commands RUNS|long-use N|hold|box|release
//   monitor_benchmark --tick   (the idle control: a 1 s timer, 5 ms of work a tick)
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include "world.h"

namespace {

const wchar_t kFloorClass[] = L"ZELNANIVOROFLOOR";
const UINT kFloorIcon = 1;
// The pauses Stop and Restart are made of (supervision/agent_process.cpp, shell/monitor_commands.cpp).
const double kPerAgentPauseMs = 1500;
const double kStopPausesMs = 500;
const double kRestartPausesMs = 1500;

class BenchWorld : public World {
public:
    bool shipped32 = false;
    bool Shipped32() const override { return shipped32; }
};

double NowMs()
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * now.QuadPart / frequency.QuadPart;
}

// Wine may leave PrivateUsage empty; its commit charge is the same figure there.
void PrintMemory(const char* who, HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    SIZE_T privateBytes = memory.PrivateUsage;
    if (privateBytes == 0) {
        privateBytes = memory.PagefileUsage;
    }
    printf("%s_private_bytes %llu\n", who, static_cast<unsigned long long>(privateBytes));
    printf("%s_working_set %llu\n", who, static_cast<unsigned long long>(memory.WorkingSetSize));
}

// From creating the process to its window, and to its icon in the tray, polled every millisecond.
bool TimeStart(const wchar_t* path, bool floor)
{
    const char* who = floor ? "floor" : "monitor";
    const wchar_t* className = floor ? kFloorClass : says::kMonitorClass;
    Monitor program;
    const double t0 = NowMs();
    if (!World::Start(path, L"", &program.info)) {
        return false;
    }
    const bool windowed = Eventually(
        [&] {
            program.window = World::WindowOf(program.info.dwProcessId, className);
            return program.window != NULL;
        },
        30000, 1);
    const double windowMs = NowMs() - t0;
    const auto iconHeld = [&] {
        return floor ? World::HoldsIcon(program.window, kFloorIcon) : World::TrayIcon(program.window) != 0;
    };
    const bool iconed = windowed && Eventually(iconHeld, 30000, 1);
    const double iconMs = NowMs() - t0;
    if (iconed) {
        printf("%s_window_ms %.2f\n", who, windowMs);
        printf("%s_icon_ms %.2f\n", who, iconMs);
    }
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    World::EndOf(program);
    // The tray drops the icon after the program is gone; the next start counts from there.
    Eventually([&] { return !iconHeld(); }, 2000, 1);
    return iconed;
}

// Pairs of starts close together, so that a slow stretch of the machine falls on both; the
// monitor's first: each start follows the other program's end, as one that follows its own
// end starts slower here. The first pair only warms the caches.
bool StartUp(World& world, int pairs)
{
    const std::wstring monitor = world.Built(says::kMonitorFile);
    const std::wstring floor = world.Built(L"tray_floor.exe");
    for (int pair = 0; pair < pairs; ++pair) {
        if (!TimeStart(monitor.c_str(), false) || !TimeStart(floor.c_str(), true)) {
            fprintf(stderr, "start-up pair %d: no window or no icon\n", pair + 1);
            return false;
        }
    }
    return true;
}

// From posting the command to its box shown, less the pauses the command is made of;
// -1 when the box does not report success.
double CommandExcess(World& world, int command, int agents)
{
    World::EndAgents();
    for (int i = 0; i < agents; ++i) {
        CloseHandle(world.StartAgent());
    }
    Monitor monitor = world.StartMonitor();
    Sleep(300);
    const double t0 = NowMs();
    PostMessageW(monitor.window, WM_COMMAND, command, 0);
    World::FindShown(L"#32770", says::kCaption, 60000, 1);
    const double elapsed = NowMs() - t0;
    const std::wstring said = World::AnswerBox();
    const bool stop = command == ID_CMD_STOP_AGENT;
    const bool success = said == (stop ? says::kStopDone : says::kRestartDone);
    const double pauses = kPerAgentPauseMs * agents + (stop ? kStopPausesMs : kRestartPausesMs);
    Sleep(200);
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_CLOSE_TRAY, 0);
    World::EndOf(monitor);
    World::EndAgents();
    if (!success) {
        return -1;
    }
    return elapsed - pauses;
}

void Commands(World& world, int runs)
{
    const int counts[] = {0, 1, 10};
    for (int run = 0; run < runs; ++run) {
        for (int agents : counts) {
            printf("stop_%d_excess_ms %.2f\n", agents, CommandExcess(world, ID_CMD_STOP_AGENT, agents));
            printf("restart_%d_excess_ms %.2f\n", agents, CommandExcess(world, ID_CMD_RESTART_AGENT, agents));
            fflush(stdout);
        }
    }
}

// The monitor's own window of that class is there (or gone), polled every millisecond.
bool OwnWindow(const Monitor& monitor, const wchar_t* className, bool shown)
{
    return Eventually([&] { return (World::WindowOf(monitor.info.dwProcessId, className) != NULL) == shown; }, 10000,
                      1);
}

bool OpenAndDismissMenu(const Monitor& monitor)
{
    PostMessageW(monitor.window, says::kTrayCallback, 0, WM_RBUTTONDOWN);
    if (!OwnWindow(monitor, L"#32768", true)) {
        return false;
    }
    PostMessageW(World::WindowOf(monitor.info.dwProcessId, L"#32768"), WM_KEYDOWN, VK_ESCAPE, 0);
    return OwnWindow(monitor, L"#32768", false);
}

bool OpenAndCloseAbout(const Monitor& monitor)
{
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_ABOUT, 0);
    HWND box = World::FindShown(L"#32770", says::kAboutCaption);
    if (box == NULL) {
        return false;
    }
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    return OwnWindow(monitor, L"#32770", false);
}

bool SendCopyData(const Monitor& monitor)
{
    COPYDATASTRUCT data = {1, 0, NULL};
    DWORD_PTR result = 0;
    const LRESULT sent = SendMessageTimeoutW(monitor.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                             SMTO_NORMAL, 10000, &result);
    return sent != 0;
}

// The next command waits until this box is gone, not merely answered.
bool StopAndAnswer(const Monitor& monitor)
{
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_STOP_AGENT, 0);
    if (World::AnswerBox() != says::kStopDone) {
        return false;
    }
    return OwnWindow(monitor, L"#32770", false);
}

// Repeats the action n times or until it fails; prints how many were done and how long they took.
void Repeat(const char* name, int n, const std::function<bool()>& action)
{
    int done = 0;
    const double t0 = NowMs();
    while (done < n && action()) {
        ++done;
    }
    printf("%s %d\n%s_ms %.0f\n", name, done, name, NowMs() - t0);
}

// One monitor through n tray menus, n presentation switches (copy-data 1, every so often
// a Stop instead, the last one a Stop) and n/10 About boxes; its memory before and after.
bool LongUse(World& world, int n)
{
    Monitor monitor = world.StartMonitor();
    // Once each first, so that what Windows loads on first use is not counted as growth.
    bool answered = monitor.window != NULL && OpenAndDismissMenu(monitor) && OpenAndCloseAbout(monitor);
    answered = answered && SendCopyData(monitor) && StopAndAnswer(monitor);
    if (!answered) {
        fprintf(stderr, "long use: the monitor did not answer its first use\n");
        return false;
    }
    const int stopEvery = n / 100 > 1 ? n / 100 : 1;
    printf("n %d\nstop_every %d\n", n, stopEvery);
    Sleep(300);
    PrintMemory("before", monitor.info.hProcess);
    Repeat("menus", n, [&] { return OpenAndDismissMenu(monitor); });
    int switches = 0;
    Repeat("switches", n, [&] {
        ++switches;
        if (switches % stopEvery == 0) {
            return StopAndAnswer(monitor);
        }
        return SendCopyData(monitor);
    });
    Repeat("abouts", n / 10, [&] { return OpenAndCloseAbout(monitor); });
    Sleep(300);
    PrintMemory("after", monitor.info.hProcess);
    // The last switch was a Stop: one grey icon, as a user would see it.
    printf("ends_grey %d\n", World::TrayIcon(monitor.window) == IDI_AGENT_STOPPED);
    printf("alive %d\n", WaitForSingleObject(monitor.info.hProcess, 0) == WAIT_TIMEOUT);
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_CLOSE_TRAY, 0);
    printf("exit_code %lu\n", World::EndOf(monitor));
    return true;
}

// The idle control: what the host's accounting must see in a program that polls.
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

// A monitor, a floor and the control left running, each with a marker argument that the
// programs ignore and the host finds them by; the memory of the first two, start-up settled.
bool Hold(World& world)
{
    Monitor monitor = World::StartWindowed(world.Built(says::kMonitorFile), L"bench-held-monitor", says::kMonitorClass);
    Monitor floor = World::StartWindowed(world.Built(L"tray_floor.exe"), L"bench-held-floor", kFloorClass);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    PROCESS_INFORMATION tick = {};
    const bool ticking = World::Start(self, L"--tick bench-held-tick", &tick);
    // The menu must stay attached: dropping it would be the cheap way to load no font.
    printf("menu_attached %d\n", monitor.window != NULL && GetMenu(monitor.window) != NULL);
    Sleep(2000);
    PrintMemory("monitor", monitor.info.hProcess);
    PrintMemory("floor", floor.info.hProcess);
    return monitor.window != NULL && floor.window != NULL && ticking;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--tick") == 0) {
        return Tick();
    }
    const bool win32 = argc > 2 && strcmp(argv[1], "win32") == 0;
    const bool win64 = argc > 2 && strcmp(argv[1], "win64") == 0;
    if (!win32 && !win64) {
        fprintf(stderr, "usage: %s win32|win64 startup|commands|long-use|hold|box|release [count]\n", argv[0]);
        return 2;
    }
    const char* mode = argv[2];
    const int count = argc > 3 ? atoi(argv[3]) : 1;
    BenchWorld world;
    world.shipped32 = win32;
    if (strcmp(mode, "box") == 0) {
        PostMessageW(FindWindowW(says::kMonitorClass, NULL), WM_COMMAND, ID_CMD_STOP_AGENT, 0);
        return World::AnswerBox() == says::kStopDone ? 0 : 1;
    }
    if (strcmp(mode, "release") == 0) {
        PostMessageW(FindWindowW(kFloorClass, NULL), WM_CLOSE, 0, 0);
        World::EndAll();
        return 0;
    }
    // The stand-ins where the measured build looks, no agent running: start-up then takes
    // none of the pauses the commands are made of.
    if (!world.LayOut()) {
        return 1;
    }
    bool done = true;
    if (strcmp(mode, "startup") == 0) {
        done = StartUp(world, count);
    } else if (strcmp(mode, "commands") == 0) {
        Commands(world, count);
    } else if (strcmp(mode, "long-use") == 0) {
        done = LongUse(world, count);
    } else if (strcmp(mode, "hold") == 0) {
        return Hold(world) ? 0 : 1;
    }
    World::EndAll();
    return done ? 0 : 1;
}
