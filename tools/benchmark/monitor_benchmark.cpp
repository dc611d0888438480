// Drives the monitor and the tray floor through the world's verbs and prints what it
// measured as "name value" lines for tools/benchmark/benchmark.py, its only caller, which runs it as
//   monitor_benchmark win32|win64 compare PAIRS ROUNDS|long-use N|box
//   monitor_benchmark --tick   (the idle control: 5 ms of work every second)
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <string.h>
#include <algorithm>
#include <vector>

#include "agent_process.h"
#include "monitor_commands.h"
#include "world.h"

namespace {

const wchar_t kFloorClass[] = L"ZELNANIVOROFLOOR";
const UINT kFloorIcon = 1;

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

// No window of that class and title (NULL: any) is left, polled every millisecond.
bool NoneShown(const wchar_t* className, const wchar_t* title)
{
    return Eventually([&] { return FindWindowW(className, title) == NULL; }, 10000, 1);
}

// The agents a command is timed with: enough that ending them is a real share of its work.
const int kCommandAgents = 10;

// The system time in ms, the clock in which Wine records when a process ended.
double ClockMs()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000.0;
}

// The agents a command ends, each once listed; their handles tell when they ended.
std::vector<HANDLE> StartCommandAgents(World& world)
{
    std::vector<HANDLE> agents;
    for (int i = 0; i < kCommandAgents; ++i) {
        agents.push_back(world.StartAgent());
    }
    return agents;
}

// When each agent ended, in order, closing its handle; empty when one is still running.
std::vector<double> EndTimes(std::vector<HANDLE>& agents)
{
    std::vector<double> ends;
    for (HANDLE agent : agents) {
        FILETIME created, ended, kernel, user;
        if (WaitForSingleObject(agent, 0) == WAIT_OBJECT_0 &&
            GetProcessTimes(agent, &created, &ended, &kernel, &user)) {
            ends.push_back(((static_cast<ULONGLONG>(ended.dwHighDateTime) << 32) | ended.dwLowDateTime) / 10000.0);
        }
        CloseHandle(agent);
    }
    agents.clear();
    std::sort(ends.begin(), ends.end());
    if (ends.size() != kCommandAgents) {
        ends.clear();
    }
    return ends;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Posts at *posted, waits for every agent to end, then for a box of the program's caption, due that
// long after the last end; answers it and returns when it showed. The wait for the agents polls nothing:
// Linux fires a timer early to join another that is due (its timer slack, below), so a poll every
// millisecond would shorten the program's pauses by up to 1.5 ms each, at random.
double BoxShownAt(const std::function<void()>& post, const std::vector<HANDLE>& agents, double dueMs, double* posted,
                  std::wstring* said)
{
    *posted = ClockMs();
    post();
    WaitForMultipleObjects(static_cast<DWORD>(agents.size()), agents.data(), TRUE, 60000);
    const DWORD polling = 100;
    if (dueMs > polling) {
        Sleep(static_cast<DWORD>(dueMs) - polling);
    }
    World::FindShown(L"#32770", says::kCaption, 60000, 1);
    const double shown = ClockMs();
    *said = World::AnswerBox();
    NoneShown(L"#32770", says::kCaption);
    return shown;
}

// A pause as this machine sleeps it with nothing else due: Wine sleeps with select(), whose timer Linux
// lets run late by a thousandth of its length (fs/select.c), so that it may fire with another.
double Slept(double ms)
{
    return ms * 1.001;
}

// What a command took beyond its pauses, but for its agents after the first: from posting to the first
// agent's end, and from the last agent's end to the box less the pauses between them.
struct CommandTime {
    bool stop;
    double beyond;
};

// Runs a command on a new monitor with its agents; adds its time and, to handlings, each later
// agent's gap between two ends less one pause: one agent's handling, or less when the pause fired early.
bool TimeCommand(World& world, int command, std::vector<CommandTime>* times, std::vector<double>* handlings)
{
    const bool stop = command == ID_CMD_STOP_AGENT;
    double after = kPerInstancePauseMs + kBeforeBoxPauseMs;  // the last agent's pause, then the box's
    if (!stop) {
        after += kBeforeLaunchPauseMs;
    }
    std::vector<HANDLE> agents = StartCommandAgents(world);
    Monitor monitor = world.StartMonitor();
    Sleep(300);
    double posted = 0;
    std::wstring said;
    const double shown =
        BoxShownAt([&] { PostMessageW(monitor.window, WM_COMMAND, command, 0); }, agents, after, &posted, &said);
    const std::vector<double> ends = EndTimes(agents);
    const bool done = said == (stop ? says::kStopDone : says::kRestartDone) && !ends.empty();
    if (done) {
        for (int i = 1; i < kCommandAgents; ++i) {
            handlings->push_back(ends[i] - ends[i - 1] - Slept(kPerInstancePauseMs));
        }
        times->push_back({stop, (ends[0] - posted) + (shown - ends.back() - Slept(after))});
    }
    PostMessageW(monitor.window, WM_COMMAND, ID_CMD_CLOSE_TRAY, 0);
    World::EndOf(monitor);
    World::EndAgents();
    return done;
}

// The agent's path as the measured build launches it.
char g_agentPath[MAX_PATH];

// Does bare, on a thread message, what Stop (wParam 0) or Restart (1) does beyond its pauses: ends
// every agent, for Restart opens the agent again, and shows the command's box.
DWORD WINAPI BareCommands(LPVOID)
{
    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        if (msg.message != WM_APP) {
            continue;
        }
        int ended = 0;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (_wcsicmp(entry.szExeFile, says::kAgentFile) == 0) {
                HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
                ended += TerminateProcess(process, 0) != FALSE;
                CloseHandle(process);
            }
        }
        CloseHandle(snapshot);
        const bool restart = msg.wParam == 1;
        bool done = ended == kCommandAgents;
        if (restart) {
            const INT_PTR opened =
                reinterpret_cast<INT_PTR>(ShellExecuteA(GetDesktopWindow(), "open", g_agentPath, NULL, NULL, SW_SHOW));
            done = done && opened > 32;
        }
        const wchar_t* text =
            restart ? (done ? says::kRestartDone : says::kRestartFailed) : (done ? says::kStopDone : says::kStopFailed);
        MessageBoxW(NULL, text, says::kCaption, MB_OK);
    }
    return 0;
}

// The same work done bare by a thread of the driver, timed the same way: the command's floor.
void TimeBare(World& world, DWORD bareThread, int command)
{
    const bool restart = command == ID_CMD_RESTART_AGENT;
    std::vector<HANDLE> agents = StartCommandAgents(world);
    Sleep(300);
    double posted = 0;
    std::wstring said;
    const double shown =
        BoxShownAt([&] { PostThreadMessageW(bareThread, WM_APP, restart ? 1 : 0, 0); }, agents, 0, &posted, &said);
    const bool done = said == (restart ? says::kRestartDone : says::kStopDone) && !EndTimes(agents).empty();
    printf("floor_done %d\n", done);
    printf("%s_floor_ms %.2f\n", restart ? "restart" : "stop", shown - posted);
    World::EndAgents();
}

// Floors timed just before and just after each command: the box after ten agents ended at once
// varies more than the command's own, so the floor takes more of them.
const int kFloorsEachSide = 2;

// Rounds of Stop and Restart, each between its floors, so that a slow stretch of the machine
// falls on both.
void Commands(World& world, int rounds)
{
    const std::wstring agent = world.InstallFolder() + L"\\" + says::kAgentFile;
    WideCharToMultiByte(CP_ACP, 0, agent.c_str(), -1, g_agentPath, MAX_PATH, NULL, NULL);
    DWORD bareThread = 0;
    CloseHandle(CreateThread(NULL, 0, BareCommands, NULL, 0, &bareThread));
    // A thread takes posted messages once it has a queue.
    Eventually([&] { return PostThreadMessageW(bareThread, WM_NULL, 0, 0) != FALSE; }, 10000, 1);
    // The driver's first box also sets up its windowing, which the monitor does at start-up: not timed.
    PostThreadMessageW(bareThread, WM_APP, 0, 0);
    World::AnswerBox();
    NoneShown(L"#32770", says::kCaption);
    std::vector<CommandTime> times;
    std::vector<double> handlings;
    for (int round = 0; round < rounds; ++round) {
        for (int command : {ID_CMD_STOP_AGENT, ID_CMD_RESTART_AGENT}) {
            for (int floor = 0; floor < kFloorsEachSide; ++floor) {
                TimeBare(world, bareThread, command);
            }
            printf("command_done %d\n", TimeCommand(world, command, &times, &handlings));
            for (int floor = 0; floor < kFloorsEachSide; ++floor) {
                TimeBare(world, bareThread, command);
            }
        }
    }
    if (handlings.empty()) {
        return;
    }
    // The median over the run's agents counts each as handled after a pause that did not fire early.
    const double handling = Median(handlings);
    printf("agent_handling_ms %.2f\n", handling);
    for (const CommandTime& time : times) {
        printf("%s_ms %.2f\n", time.stop ? "stop" : "restart", time.beyond + (kCommandAgents - 1) * handling);
    }
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
    Commands(world, atoi(argv[4]));
    Hold(world);
    return 0;
}
