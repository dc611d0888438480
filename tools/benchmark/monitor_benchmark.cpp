// Drives the monitor and the tray floor through the world's verbs and prints what it
// measured as "name value" lines for tools/benchmark/benchmark.py, its only caller, which runs it as
//   monitor_benchmark win32|win64 compare PAIRS RUNS|long-use N|box
//   monitor_benchmark --tick   (the idle control: 5 ms of work every second)
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include "agent_process.h"
#include "monitor_commands.h"
#include "world.h"

namespace {

const wchar_t kFloorClass[] = L"ZELNANIVOROFLOOR";
const UINT kFloorIcon = 1;
// The pauses Stop and Restart are made of, beside one for each agent.
const double kStopPausesMs = kBeforeBoxPauseMs;
const double kRestartPausesMs = kBeforeLaunchPauseMs + kBeforeBoxPauseMs;

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

// The commit charge is the process's private memory (PrivateUsage, which Wine may leave empty).
void PrintMemory(const char* who, HANDLE process)
{
    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(process, &memory, sizeof memory);
    printf("%s_private_bytes %llu\n", who, static_cast<unsigned long long>(memory.PagefileUsage));
    printf("%s_working_set %llu\n", who, static_cast<unsigned long long>(memory.WorkingSetSize));
}

// From creating the process to its window, and to its icon in the tray, polled every
// millisecond. Only this program runs, so its class finds its window.
bool TimeStart(const std::wstring& path, const char* who, const wchar_t* className, UINT icon)
{
    Monitor program;
    const double t0 = NowMs();
    World::Start(path, L"", &program.info);
    program.window = World::FindShown(className, NULL, 30000, 1);
    printf("%s_window_ms %.2f\n", who, NowMs() - t0);
    const bool iconed = Eventually([&] { return World::HoldsIcon(program.window, icon); }, 30000, 1);
    printf("%s_icon_ms %.2f\n", who, NowMs() - t0);
    // Its window removes the icon as it goes, so the next start counts from an icon less.
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    World::EndOf(program);
    return iconed;
}

// Pairs of starts close together, so that a slow stretch of the machine falls on both, each after
// the other program's end (one after its own end starts slower here); with no agent, the icon is grey.
bool StartUp(World& world, int pairs)
{
    const std::wstring monitor = world.Built(says::kMonitorFile);
    const std::wstring floor = world.Built(L"tray_floor.exe");
    for (int pair = 0; pair < pairs; ++pair) {
        const bool monitorIconed = TimeStart(monitor, "monitor", says::kMonitorClass, IDI_AGENT_STOPPED);
        const bool floorIconed = TimeStart(floor, "floor", kFloorClass, kFloorIcon);
        if (!monitorIconed || !floorIconed) {
            fprintf(stderr, "start-up pair %d: no window or no icon\n", pair);
            return false;
        }
    }
    return true;
}

// From posting the command to its box shown, less the pauses the command is made of, and
// whether the box reported success.
void TimeCommand(World& world, int command, int agents)
{
    const bool stop = command == ID_CMD_STOP_AGENT;
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
    const double pauses = static_cast<double>(kPerInstancePauseMs) * agents + (stop ? kStopPausesMs : kRestartPausesMs);
    printf("%s_%d_excess_ms %.2f\n", stop ? "stop" : "restart", agents, elapsed - pauses);
    printf("command_done %d\n", said == (stop ? says::kStopDone : says::kRestartDone));
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_CLOSE_TRAY, 0);
    World::EndOf(monitor);
    World::EndAgents();
}

// No window of that class and title (NULL: any) is left, polled every millisecond.
bool NoneShown(const wchar_t* className, const wchar_t* title)
{
    return Eventually([&] { return FindWindowW(className, title) == NULL; }, 10000, 1);
}

bool OpenAndDismissMenu(HWND monitor)
{
    PostMessageW(monitor, says::kTrayCallback, 0, WM_RBUTTONDOWN);
    HWND menu = World::FindShown(L"#32768", NULL, 10000, 1);
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    return menu != NULL && NoneShown(L"#32768", NULL);
}

bool OpenAndCloseAbout(HWND monitor)
{
    PostMessageW(monitor, WM_COMMAND, ID_CMD_ABOUT, 0);
    HWND box = World::FindShown(L"#32770", says::kAboutCaption, 10000, 1);
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    return box != NULL && NoneShown(L"#32770", says::kAboutCaption);
}

bool SendCopyData(HWND monitor)
{
    COPYDATASTRUCT data = {1, 0, NULL};
    const LPARAM record = reinterpret_cast<LPARAM>(&data);
    return SendMessageTimeoutW(monitor, WM_COPYDATA, 0, record, SMTO_NORMAL, 10000, NULL) != 0;
}

// The next command waits until this box is gone, not merely answered.
bool StopAndAnswer(HWND monitor)
{
    PostMessageW(monitor, WM_COMMAND, ID_CMD_STOP_AGENT, 0);
    const bool stopped = World::AnswerBox() == says::kStopDone;
    return stopped && NoneShown(L"#32770", says::kCaption);
}

// Repeats the action n times or until it fails; prints how many were done and how long they took.
void Repeat(const char* name, int n, const std::function<bool()>& action)
{
    int done = 0;
    const double t0 = NowMs();
    while (done < n && action()) {
        ++done;
    }
    printf("%s %d\n", name, done);
    printf("%s_ms %.0f\n", name, NowMs() - t0);
}

// One monitor through n tray menus, n presentation switches (copy-data 1, every n/100-th
// a Stop, the last one a Stop) and n/10 About boxes; its memory before and after.
void LongUse(World& world, int n)
{
    Monitor monitor = world.StartMonitor();
    // Once each first, so that what Windows loads on first use is not counted as growth.
    OpenAndDismissMenu(monitor.window);
    OpenAndCloseAbout(monitor.window);
    SendCopyData(monitor.window);
    StopAndAnswer(monitor.window);
    Sleep(300);
    PrintMemory("before", monitor.info.hProcess);
    Repeat("menus", n, [&] { return OpenAndDismissMenu(monitor.window); });
    const int stopEvery = n >= 100 ? n / 100 : 1;
    int switches = 0;
    Repeat("switches", n, [&] {
        ++switches;
        if (switches % stopEvery == 0) {
            return StopAndAnswer(monitor.window);
        }
        return SendCopyData(monitor.window);
    });
    printf("stops %d\n", switches / stopEvery);
    Repeat("abouts", n / 10, [&] { return OpenAndCloseAbout(monitor.window); });
    Sleep(300);
    PrintMemory("after", monitor.info.hProcess);
    // The last switch was a Stop: one grey icon, as a user would see it.
    printf("ends_grey %d\n", World::TrayIcon(monitor.window) == IDI_AGENT_STOPPED);
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_CLOSE_TRAY, 0);
    printf("exit_code %lu\n", World::EndOf(monitor));
}

// The idle control: what the host's accounting must see in a program that polls.
int Tick()
{
    for (;;) {
        Sleep(1000);
        const double until = NowMs() + 5;
        while (NowMs() < until) {
        }
    }
}

// A monitor, a floor and the control left running for the host to find by a marker argument
// that the programs ignore; the memory of the first two, start-up settled.
void Hold(World& world)
{
    Monitor monitor = World::StartWindowed(world.Built(says::kMonitorFile), L"bench-held-monitor", says::kMonitorClass);
    Monitor floor = World::StartWindowed(world.Built(L"tray_floor.exe"), L"bench-held-floor", kFloorClass);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(NULL, self, MAX_PATH);
    PROCESS_INFORMATION tick = {};
    World::Start(self, L"--tick bench-held-tick", &tick);
    printf("menu_attached %d\n", GetMenu(monitor.window) != NULL);
    Sleep(2000);
    PrintMemory("monitor", monitor.info.hProcess);
    PrintMemory("floor", floor.info.hProcess);
}

}  // namespace

int main(int, char** argv)
{
    if (strcmp(argv[1], "--tick") == 0) {
        return Tick();
    }
    BenchWorld world;
    world.shipped32 = strcmp(argv[1], "win32") == 0;
    const char* mode = argv[2];
    // The held monitor's first box maps the fonts that its text needs.
    if (strcmp(mode, "box") == 0) {
        return StopAndAnswer(FindWindowW(says::kMonitorClass, NULL)) ? 0 : 1;
    }
    // The stand-ins where the measured build looks, no agent running: start-up then takes
    // none of the pauses the commands are made of. Taking the prefix down ends what is left.
    if (!world.LayOut()) {
        return 1;
    }
    if (strcmp(mode, "long-use") == 0) {
        LongUse(world, atoi(argv[3]));
        return 0;
    }
    if (!StartUp(world, atoi(argv[3]))) {
        return 1;
    }
    const int runs = atoi(argv[4]);
    for (int run = 0; run < runs; ++run) {
        for (int agents : {0, 1, 10}) {
            TimeCommand(world, ID_CMD_STOP_AGENT, agents);
            TimeCommand(world, ID_CMD_RESTART_AGENT, agents);
        }
    }
    Hold(world);
    return 0;
}
