// Finding, ending and starting real stand-in agents. What Wine will not do on demand
// comes through this program's own import slots, each fake answering as Windows does.
// ntstatus.h names the NTSTATUS codes that windows.h would otherwise define in part.
#define WIN32_NO_STATUS
#include "world_test.h"
#undef WIN32_NO_STATUS

#include <ntstatus.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include "agent_process.h"
#include "import_patch.h"

namespace {

const DWORD kEndWaitMs = 5000;
const DWORD kStillRunsWaitMs = 300;
const ULONGLONG kDesignedInstancePauseMs = 1500;  // as designed, not read from the code
const ULONGLONG kDesignedOpenPauseMs = 1000;      // as designed, not read from the code
// A busy machine's list, longer than the program's first read; and one longer than it ever reads.
const ULONG kLongListBytes = 1024 * 1024;
const ULONG kListBeyondBoundBytes = 64 * 1024 * 1024;

HANDLE g_agent;
DWORD g_agentId;
std::vector<std::string> g_shellCalls;
// The real calls behind the current row's patches.
decltype(&TerminateProcess) g_realTerminate;
decltype(&NtQuerySystemInformation) g_realList;
decltype(&ShellExecuteA) g_realShell;
decltype(&Process32NextW) g_realNext;

// TerminateProcess: the real call.
BOOL WINAPI TerminateAsAsked(HANDLE process, UINT code)
{
    return g_realTerminate(process, code);
}

// TerminateProcess: FALSE, ERROR_ACCESS_DENIED once a guarding driver stripped the right (ObRegisterCallbacks).
BOOL WINAPI RefusedTerminate(HANDLE, UINT)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// TerminateProcess: FALSE, ERROR_ACCESS_DENIED for a process that has ended meanwhile (TerminateProcess).
BOOL WINAPI TerminateEndedMeanwhile(HANDLE process, UINT code)
{
    g_realTerminate(process, code);
    WaitForSingleObject(g_agent, kEndWaitMs);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// NtQuerySystemInformation: the real call; Wine lists every process in one session.
NTSTATUS NTAPI ListAsIs(SYSTEM_INFORMATION_CLASS kind, PVOID list, ULONG length, PULONG needed)
{
    return g_realList(kind, list, length, needed);
}

// NtQuerySystemInformation: another signed-in user's process in its own session (SYSTEM_PROCESS_INFORMATION).
NTSTATUS NTAPI ListOtherSession(SYSTEM_INFORMATION_CLASS kind, PVOID list, ULONG length, PULONG needed)
{
    const NTSTATUS status = g_realList(kind, list, length, needed);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BYTE* at = static_cast<BYTE*>(list);
    for (;;) {
        SYSTEM_PROCESS_INFORMATION* entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(at);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == g_agentId) {
            entry->SessionId += 1;
        }
        if (entry->NextEntryOffset == 0) {
            return status;
        }
        at += entry->NextEntryOffset;
    }
}

// NtQuerySystemInformation: STATUS_INFO_LENGTH_MISMATCH and the length needed (NtQuerySystemInformation).
NTSTATUS OtherSessionListOfLength(ULONG bytes, SYSTEM_INFORMATION_CLASS kind, PVOID list, ULONG length, PULONG needed)
{
    if (length < bytes) {
        *needed = bytes;
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    return ListOtherSession(kind, list, length, needed);
}

// NtQuerySystemInformation: a busy machine's list, longer than a first read, with the agent in another session.
NTSTATUS NTAPI LongListOtherSession(SYSTEM_INFORMATION_CLASS kind, PVOID list, ULONG length, PULONG needed)
{
    return OtherSessionListOfLength(kLongListBytes, kind, list, length, needed);
}

// NtQuerySystemInformation: a list longer than the program ever reads.
NTSTATUS NTAPI ListBeyondBound(SYSTEM_INFORMATION_CLASS kind, PVOID list, ULONG length, PULONG needed)
{
    return OtherSessionListOfLength(kListBeyondBoundBytes, kind, list, length, needed);
}

// NtQuerySystemInformation: one entry for each running process, so none for one that ended (its page).
NTSTATUS NTAPI ListAfterTheAgentEnded(SYSTEM_INFORMATION_CLASS kind, PVOID list, ULONG length, PULONG needed)
{
    World::EndAgents();
    return g_realList(kind, list, length, needed);
}

// ShellExecuteA: the real call, recorded: verb and file, and whatever differs from a plain start owned by the
// desktop. Wine runs "runas" as "open", so only this record shows the verb.
HINSTANCE WINAPI ShellRecorded(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder, INT show)
{
    std::string call = std::string(verb) + " " + file;
    call += owner == GetDesktopWindow() ? "" : " owned by another window";
    call += parameters == NULL ? "" : " with parameters";
    call += folder == NULL ? "" : " with a folder";
    call += show == SW_SHOW ? "" : " not SW_SHOW";
    g_shellCalls.push_back(call);
    return g_realShell(owner, verb, file, parameters, folder, show);
}

// CreateToolhelp32Snapshot: INVALID_HANDLE_VALUE when memory runs out (CreateToolhelp32Snapshot).
HANDLE WINAPI SnapshotFails(DWORD, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
}

// Process32NextW (the agent is never first): a snapshot taken before the agent ended lists its id, which may since
// have passed to another program (PROCESS_INFORMATION structure: "the identifier may be reused").
BOOL WINAPI ListedBeforeReuse(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    const BOOL listed = g_realNext(snapshot, entry);
    if (listed && entry->th32ProcessID == g_agentId) {
        wcscpy_s(entry->szExeFile, says::kAgentFile);
    }
    return listed;
}

bool Ended(HANDLE process, DWORD waitMs)
{
    return WaitForSingleObject(process, waitMs) == WAIT_OBJECT_0;
}

class AgentProcesses : public WorldTest {
protected:
    void SetUp() override
    {
        g_shellCalls.clear();
        WorldTest::SetUp();
    }
    std::string ShellCall(const char* verb, const wchar_t* file) const
    {
        const std::wstring path = InstallFolder() + L"\\" + file;
        return std::string(verb) + " " + std::string(path.begin(), path.end());
    }
};

TEST_F(AgentProcesses, StopEndsEveryInstanceOfTheWholeNameInAnyCase)
{
    HANDLE longer = StartAgent(AgentReach::kOwn, L"ZelnaNivoroAgent.exex");
    HANDLE shorter = StartAgent(AgentReach::kOwn, L"ZelnaNivoroAgent.ex");
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
    HANDLE otherCase = StartAgent(AgentReach::kOwn, L"zelnanivoroAGENT.EXE");
    HANDLE agent = StartAgent();
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 1);
    EXPECT_FALSE(Ended(otherCase, kStillRunsWaitMs)) << "the lookup ends nothing";
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(StopAgent(kAgentImageName), 1);
    EXPECT_GE(GetTickCount64() - start, 2 * kDesignedInstancePauseMs) << "a pause for each instance";
    EXPECT_TRUE(Ended(otherCase, kEndWaitMs));
    EXPECT_TRUE(Ended(agent, kEndWaitMs));
    EXPECT_FALSE(Ended(longer, 0));
    EXPECT_FALSE(Ended(shorter, 0));
}

TEST_F(AgentProcesses, GivingUpLeavesLaterInstancesAndTheNextStopForgetsIt)
{
    Install(says::kServiceFile, false);
    CloseHandle(StartAgent(AgentReach::kElevated));
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 1) << "one out of reach is found too";
    HANDLE later = StartAgent();
    EXPECT_EQ(StopAgent(kAgentImageName), 0);
    EXPECT_EQ(g_stopFailed, 1);
    EXPECT_FALSE(Ended(later, kStillRunsWaitMs)) << "entries after the given-up one are not visited";
    EndAgents();
    EXPECT_EQ(StopAgent(kAgentImageName), 1);
    EXPECT_EQ(g_stopFailed, 0) << "the next Stop forgets the give-up";
}

TEST_F(AgentProcesses, AnUnreadableProcessListIsNoAgentAndNoStop)
{
    StartAgent();
    ImportPatch<decltype(&CreateToolhelp32Snapshot)> snapshot("kernel32.dll", "CreateToolhelp32Snapshot",
                                                              SnapshotFails);
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
    g_stopFailed = 1;
    EXPECT_EQ(StopAgent(kAgentImageName), 0);
    EXPECT_EQ(g_stopFailed, 0) << "an unreadable list is no given-up instance";
}

// Another signed-in user's agent is listed to every user but says nothing of this user's.
TEST_F(AgentProcesses, StartUpLooksPastAnotherSessionsAgent)
{
    const struct {
        const char* name;
        bool ownAfter;
        int found;
    } rows[] = {
        {"another user's alone", false, 0},
        {"another user's, then this user's own", true, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(LayOut());
        g_agent = StartAgent(AgentReach::kOtherUser);
        g_agentId = GetProcessId(g_agent);
        if (row.ownAfter) {
            CloseHandle(StartAgent());
            ASSERT_EQ(Running().front(), g_agentId) << "the other user's agent must come first in the list";
        }
        ImportPatch<decltype(&NtQuerySystemInformation)> list("ntdll.dll", "NtQuerySystemInformation",
                                                              ListOtherSession);
        g_realList = list.Original();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(IsAgentRunning(kAgentImageName), row.found);
        if (row.ownAfter) {
            EXPECT_GE(GetTickCount64() - start, kDesignedOpenPauseMs) << "no pause for this user's own";
        }
        CloseHandle(g_agent);
    }
}

// What this user cannot end goes to the elevated terminate service, if it is there and the
// instance runs in this session; another user's agent is theirs to stop.
TEST_F(AgentProcesses, InstancesBeyondReachGoToTheTerminateServiceOfTheirOwnSession)
{
    const AgentReach own = AgentReach::kOwn;
    const AgentReach elevated = AgentReach::kElevated;
    const AgentReach otherUser = AgentReach::kOtherUser;
    const struct {
        const char* name;
        AgentReach reach;
        bool service;
        decltype(&TerminateProcess) terminate;
        decltype(&NtQuerySystemInformation) list;
        int result;
        size_t serviceCalls;
        bool ended;
        bool reused;  // the agent's id went to the user's program after the snapshot, a real agent runs beside it
    } rows[] = {
        {"in a long list", otherUser, true, TerminateAsAsked, LongListOtherSession, 1, 0, false, false},
        {"list unreadable", otherUser, true, TerminateAsAsked, ListBeyondBound, 1, 1, true, false},
        {"not listed", otherUser, true, TerminateAsAsked, ListAfterTheAgentEnded, 1, 1, true, false},
        {"termination refused", own, true, RefusedTerminate, ListAsIs, 1, 1, true, false},
        {"refused, no service", own, false, RefusedTerminate, ListAsIs, 0, 1, false, false},
        {"ended by itself", own, true, TerminateEndedMeanwhile, ListAsIs, 1, 0, true, false},
        {"id reused", own, true, TerminateAsAsked, ListAsIs, 1, 0, false, true},
        {"id reused, elevated", elevated, true, TerminateAsAsked, ListAsIs, 1, 0, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(LayOut());
        Install(says::kServiceFile, row.service);
        g_agent = StartAgent(row.reach, row.reused ? L"UsersOwnWork.exe" : says::kAgentFile);
        g_agentId = GetProcessId(g_agent);
        HANDLE agent = row.reused ? StartAgent() : NULL;
        ImportPatch<decltype(&TerminateProcess)> terminate("kernel32.dll", "TerminateProcess", row.terminate);
        ImportPatch<decltype(&NtQuerySystemInformation)> list("ntdll.dll", "NtQuerySystemInformation", row.list);
        ImportPatch<decltype(&ShellExecuteA)> shell("shell32.dll", "ShellExecuteA", ShellRecorded);
        ImportPatch<decltype(&Process32NextW)> next("kernel32.dll", "Process32NextW", ListedBeforeReuse);
        g_realNext = next.Original();
        g_realTerminate = terminate.Original();
        g_realList = list.Original();
        g_realShell = shell.Original();
        g_shellCalls.clear();
        EXPECT_EQ(StopAgent(kAgentImageName), row.result);
        const std::vector<std::string> serviceCalls(row.serviceCalls, ShellCall("runas", says::kServiceFile));
        EXPECT_EQ(g_shellCalls, serviceCalls);
        if (row.ended) {
            EXPECT_TRUE(Ended(g_agent, kEndWaitMs));
        } else {
            EXPECT_FALSE(Ended(g_agent, kStillRunsWaitMs));
        }
        if (agent != NULL) {
            EXPECT_TRUE(Ended(agent, kEndWaitMs)) << "the real agent still runs";
            CloseHandle(agent);
        }
        CloseHandle(g_agent);
    }
}

TEST_F(AgentProcesses, LaunchOpensTheInstalledAgentOnly)
{
    ImportPatch<decltype(&ShellExecuteA)> shell("shell32.dll", "ShellExecuteA", ShellRecorded);
    g_realShell = shell.Original();
    EXPECT_TRUE(LaunchAgent());
    const std::vector<std::string> launch = {ShellCall("open", says::kAgentFile)};
    EXPECT_EQ(g_shellCalls, launch);
    EXPECT_TRUE(Eventually([] { return !Running().empty(); }));
    EndAgents();
    Install(says::kAgentFile, false);
    CreateDirectoryW((InstallFolder() + L"\\" + says::kAgentFile).c_str(), NULL);
    EXPECT_FALSE(LaunchAgent()) << "a folder in its place";
}

}  // namespace
