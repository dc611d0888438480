// Faults the real system cannot produce on demand, reached through this test
// program's own imports: the code under test still makes its plain calls.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include "agent_process.h"
#include "agent_rig.h"
#include "import_patch.h"

namespace {

HANDLE g_lastSnapshot = NULL;
bool g_lastSnapshotClosed = false;
ImportPatch* g_snapshotPatch = NULL;
ImportPatch* g_closePatch = NULL;

HANDLE WINAPI FailingSnapshot(DWORD, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
}

HANDLE WINAPI RecordingSnapshot(DWORD flags, DWORD processId)
{
    g_lastSnapshot = g_snapshotPatch->Original<HANDLE(WINAPI*)(DWORD, DWORD)>()(flags, processId);
    g_lastSnapshotClosed = false;
    return g_lastSnapshot;
}

BOOL WINAPI RecordingClose(HANDLE handle)
{
    if (handle == g_lastSnapshot) {
        g_lastSnapshotClosed = true;
    }
    return g_closePatch->Original<BOOL(WINAPI*)(HANDLE)>()(handle);
}

BOOL WINAPI FailingFirstEntry(HANDLE, LPPROCESSENTRY32W)
{
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL WINAPI RefusingTerminate(HANDLE, UINT)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

HRESULT WINAPI UnresolvableFolder(HWND, int, HANDLE, DWORD, LPSTR)
{
    return E_FAIL;
}

class AgentProcessFaultTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndAllAgents();
        InstallStandIns(true, true);
        agent_ = StartAgent();
    }
    void TearDown() override
    {
        EndAllAgents();
        CloseHandle(agent_);
    }
    HANDLE agent_ = NULL;
};

TEST_F(AgentProcessFaultTest, UnreadableProcessListMeansNotRunningAndNothingStopped)
{
    {
        ImportPatch snapshot("kernel32.dll", "CreateToolhelp32Snapshot", (void*)FailingSnapshot);
        g_stopFailed = 1;
        EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
        EXPECT_EQ(StopAgent(kAgentImageName), 0);
        EXPECT_EQ(g_stopFailed, 0) << "an unreadable list is not a given-up instance";
    }
    {
        ImportPatch snapshot("kernel32.dll", "CreateToolhelp32Snapshot", (void*)RecordingSnapshot);
        ImportPatch close("kernel32.dll", "CloseHandle", (void*)RecordingClose);
        ImportPatch first("kernel32.dll", "Process32FirstW", (void*)FailingFirstEntry);
        g_snapshotPatch = &snapshot;
        g_closePatch = &close;

        EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
        EXPECT_TRUE(g_lastSnapshotClosed) << "snapshot leaked by IsAgentRunning";
        g_stopFailed = 1;
        EXPECT_EQ(StopAgent(kAgentImageName), 0);
        EXPECT_EQ(g_stopFailed, 0);
        EXPECT_TRUE(g_lastSnapshotClosed) << "snapshot leaked by StopAgent";
        g_snapshotPatch = g_closePatch = NULL;
    }
    EXPECT_FALSE(WaitEnded(agent_, 0));
}

TEST_F(AgentProcessFaultTest, RefusedTerminationFallsBackToTheTerminateService)
{
    int stopped = 0;
    DWORD ms;
    {
        ImportPatch terminate("kernel32.dll", "TerminateProcess", (void*)RefusingTerminate);
        ms = ElapsedMs([&] { stopped = StopAgent(kAgentImageName); });
    }
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(g_stopFailed, 0);
    EXPECT_GE(ms, 1450u);
    EXPECT_TRUE(WaitEnded(agent_)) << "the terminate service did not end the agent";
}

TEST_F(AgentProcessFaultTest, RefusedTerminationWithoutTheServiceGivesUp)
{
    InstallStandIns(true, false);
    ImportPatch terminate("kernel32.dll", "TerminateProcess", (void*)RefusingTerminate);
    EXPECT_EQ(StopAgent(kAgentImageName), 0);
    EXPECT_EQ(g_stopFailed, 1);
    EXPECT_FALSE(WaitEnded(agent_, 0));
}

TEST_F(AgentProcessFaultTest, UnresolvableProgramFilesFailsTheFallBackAndTheLaunch)
{
    ImportPatch folder("shell32.dll", "SHGetFolderPathA", (void*)UnresolvableFolder);
    {
        ImportPatch terminate("kernel32.dll", "TerminateProcess", (void*)RefusingTerminate);
        EXPECT_EQ(StopAgent(kAgentImageName), 0);
        EXPECT_EQ(g_stopFailed, 1);
    }
    const size_t before = ProcessesNamed(kAgentImageName).size();
    EXPECT_FALSE(LaunchAgent());
    Sleep(300);
    EXPECT_EQ(ProcessesNamed(kAgentImageName).size(), before);
}

}  // namespace
