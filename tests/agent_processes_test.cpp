// Finding, ending and starting real stand-in agents; what the real system
// will not do on demand comes through this program's own import slots.
#include "world_test.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include "agent_process.h"
#include "import_patch.h"

namespace {

enum Terminate { kEnds, kRefused, kEndedMeanwhile };
enum Session { kSameSession, kOtherSession, kQueryFails };
struct Faults { Terminate terminate; Session session; bool shellStartsNothing; } g_faults;  // zero: none
std::vector<std::string> g_shellCalls;
HANDLE g_agent;
ImportPatch<decltype(&TerminateProcess)>* g_terminate;
ImportPatch<decltype(&ProcessIdToSessionId)>* g_sessionId;
ImportPatch<decltype(&ShellExecuteA)>* g_shell;

BOOL WINAPI PatchedTerminate(HANDLE process, UINT code)
{
    if (g_faults.terminate != kRefused) {
        const BOOL ended = g_terminate->Original()(process, code);
        if (g_faults.terminate == kEnds) {
            return ended;
        }
        // What Windows answers for a process that ended while a handle still keeps its object.
        WaitForSingleObject(g_agent, 5000);
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI PatchedSessionId(DWORD processId, DWORD* session)
{
    const BOOL done = g_faults.session != kQueryFails &&
                      g_sessionId->Original()(processId, session);
    *session += g_faults.session == kOtherSession && processId != GetCurrentProcessId();
    return done;
}

HINSTANCE WINAPI RecordingShell(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder, INT show)
{
    g_shellCalls.push_back(std::string(verb ? verb : "(null)") + " " + file + " parameters=" +
                           (parameters ? parameters : "none") + " folder=" + (folder ? folder : "none") +
                           " show=" + std::to_string(show) + (owner == GetDesktopWindow() ? "" : " owner?"));
    auto shell = g_shell->Original();
    return g_faults.shellStartsNothing ? (HINSTANCE)33 : shell(owner, verb, file, parameters, folder, show);
}

bool Ended(HANDLE process, DWORD waitMs = 5000) { return WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0; }

class AgentProcesses : public WorldTest {
protected:
    static void SetUpTestSuite()
    {
        if (g_terminate == NULL) {  // kept for the whole program, also when the tests repeat
            g_terminate = new ImportPatch<decltype(&TerminateProcess)>("kernel32.dll", "TerminateProcess", PatchedTerminate);
            g_sessionId = new ImportPatch<decltype(&ProcessIdToSessionId)>("kernel32.dll", "ProcessIdToSessionId", PatchedSessionId);
            g_shell = new ImportPatch<decltype(&ShellExecuteA)>("shell32.dll", "ShellExecuteA", RecordingShell);
        }
    }
    void SetUp() override
    {
        g_faults = Faults{};
        g_shellCalls.clear();
        WorldTest::SetUp();
    }
    // Wine runs "runas" as "open": only the recorded call shows which verb asks for elevation.
    std::string ShellCall(const char* verb, const wchar_t* file) const
    {
        const std::wstring path = InstallFolder() + L"\\" + file;
        return verb + (" " + std::string(path.begin(), path.end())) + " parameters=none folder=none show=5";
    }
};

TEST_F(AgentProcesses, StopEndsEveryInstanceOfTheWholeNameInAnyCase)
{
    HANDLE longer = StartAgent(false, L"ZelnaNivoroAgent.exex");
    HANDLE shorter = StartAgent(false, L"ZelnaNivoroAgent.ex");
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
    HANDLE agents[] = {StartAgent(false, L"zelnanivoroAGENT.EXE"), StartAgent()};
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 1);
    EXPECT_FALSE(Ended(agents[0], 300)) << "the lookup ends nothing";
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(StopAgent(kAgentImageName), 1);
    EXPECT_GE(GetTickCount64() - start, 3000u) << "a pause for each instance";
    EXPECT_TRUE(Ended(agents[0]) && Ended(agents[1]));
    EXPECT_FALSE(Ended(longer, 0) || Ended(shorter, 0));
}

TEST_F(AgentProcesses, GivingUpLeavesLaterInstancesAndTheNextStopForgetsIt)
{
    Install(says::kServiceFile, false);
    HANDLE denied = StartAgent(true);
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 1) << "one out of reach is found too";
    HANDLE later = StartAgent();
    EXPECT_EQ(StopAgent(kAgentImageName), 0);
    EXPECT_EQ(g_stopFailed, 1);
    EXPECT_FALSE(Ended(denied, 0) || Ended(later, 300)) << "entries after the given-up one are not visited";
    EndAgents();
    EXPECT_TRUE(StopAgent(kAgentImageName) == 1 && g_stopFailed == 0) << "the next Stop forgets the give-up";
}

TEST_F(AgentProcesses, AnUnreadableProcessListIsNoAgentAndNoStop)
{
    StartAgent();
    {
        ImportPatch<decltype(&CreateToolhelp32Snapshot)> failing("kernel32.dll", "CreateToolhelp32Snapshot",
            [](DWORD, DWORD) { return INVALID_HANDLE_VALUE; });
        EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
        g_stopFailed = 1;
        EXPECT_EQ(StopAgent(kAgentImageName), 0);
        EXPECT_EQ(g_stopFailed, 0) << "an unreadable list is no given-up instance";
    }
    {
        ImportPatch<decltype(&Process32FirstW)> failing("kernel32.dll", "Process32FirstW",
            [](HANDLE, PROCESSENTRY32W*) { return FALSE; });
        EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
        g_stopFailed = 1;
        EXPECT_EQ(StopAgent(kAgentImageName), 0);
        EXPECT_EQ(g_stopFailed, 0) << "an unreadable list is no given-up instance";
    }
}

// What this user cannot end goes to the elevated terminate service, if still there and of this session.
TEST_F(AgentProcesses, InstancesBeyondReachGoToTheTerminateServiceOfTheirOwnSession)
{
    const struct { const char* name; bool outOfReach; Faults faults; bool service;
                   int result, failed, serviceCalls; bool ended; } rows[] = {
        {"out of reach", true, {kEnds, kSameSession, false}, true, 1, 0, 1, true},
        {"termination refused", false, {kRefused, kSameSession, false}, true, 1, 0, 1, true},
        {"refused, no service", false, {kRefused, kSameSession, false}, false, 0, 1, 1, false},
        {"service ends nothing", true, {kEnds, kSameSession, true}, true, 1, 0, 1, false},
        {"ended by itself", false, {kEndedMeanwhile, kSameSession, false}, true, 1, 0, 0, true},
        {"another session's", true, {kEnds, kOtherSession, false}, true, 1, 0, 0, false},
        {"session unknown", true, {kEnds, kQueryFails, false}, true, 1, 0, 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Install(says::kServiceFile, row.service);
        g_agent = StartAgent(row.outOfReach);
        g_faults = row.faults;
        g_shellCalls.clear();
        EXPECT_EQ(StopAgent(kAgentImageName), row.result);
        EXPECT_EQ(g_stopFailed, row.failed);
        EXPECT_EQ(g_shellCalls, std::vector<std::string>(row.serviceCalls, ShellCall("runas", says::kServiceFile)));
        EXPECT_EQ(Ended(g_agent, row.ended ? 5000 : 300), row.ended);
        g_faults = Faults{};
        EndAgents();
    }
}

TEST_F(AgentProcesses, LaunchOpensTheInstalledAgentOnly)
{
    EXPECT_TRUE(LaunchAgent());
    EXPECT_EQ(g_shellCalls, std::vector<std::string>{ShellCall("open", says::kAgentFile)});
    EXPECT_TRUE(Eventually([] { return !Running().empty(); }));
    EndAgents();
    Install(says::kAgentFile, false);
    EXPECT_FALSE(LaunchAgent()) << "agent missing";
    CreateDirectoryW((InstallFolder() + L"\\" + says::kAgentFile).c_str(), NULL);
    EXPECT_FALSE(LaunchAgent()) << "a folder in its place";
    Install(says::kAgentFile, false);
}

}  // namespace
