// The agent's processes for real: stand-in agents under Wine, the real
// install folder, the real terminate service stand-in.
#include <gtest/gtest.h>

#include "agent_process.h"
#include "agent_rig.h"

namespace {

class AgentProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndAllAgents();
        InstallStandIns(true, true);
    }
    void TearDown() override { EndAllAgents(); }
};

TEST_F(AgentProcessTest, NoAgentIsNotRunningAndStopsAtOnceWithSuccess)
{
    int running = -1;
    EXPECT_LT(ElapsedMs([&] { running = IsAgentRunning(kAgentImageName); }), 700u);
    EXPECT_EQ(running, 0);

    g_stopFailed = 1;
    int stopped = -1;
    EXPECT_LT(ElapsedMs([&] { stopped = StopAgent(kAgentImageName); }), 700u);
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(g_stopFailed, 0);
}

TEST_F(AgentProcessTest, RunningAgentIsFoundAfterItsPauseAndLeftRunning)
{
    HANDLE agent = StartAgent();
    int running = 0;
    const DWORD ms = ElapsedMs([&] { running = IsAgentRunning(kAgentImageName); });
    EXPECT_EQ(running, 1);
    EXPECT_GE(ms, 950u);
    EXPECT_LT(ms, 4000u);
    EXPECT_FALSE(WaitEnded(agent, 0)) << "the lookup must not end the agent";
    CloseHandle(agent);
}

TEST_F(AgentProcessTest, NamesMatchOnlyWhenWholeIgnoringCase)
{
    HANDLE longer = StartAgent(L"ZelnaNivoroAgent.exex");
    HANDLE shorter = StartAgent(L"ZelnaNivoroAgent.ex");
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 0);
    EXPECT_EQ(StopAgent(kAgentImageName), 1);
    EXPECT_FALSE(WaitEnded(longer, 0));
    EXPECT_FALSE(WaitEnded(shorter, 0));

    HANDLE otherCase = StartAgent(L"zelnanivoroAGENT.EXE");
    EXPECT_EQ(IsAgentRunning(kAgentImageName), 1);
    EXPECT_EQ(StopAgent(kAgentImageName), 1);
    EXPECT_TRUE(WaitEnded(otherCase));
    for (HANDLE h : {longer, shorter, otherCase}) {
        CloseHandle(h);
    }
}

TEST_F(AgentProcessTest, StopEndsEveryInstanceWithAPauseEach)
{
    HANDLE first = StartAgent();
    HANDLE second = StartAgent();
    int stopped = 0;
    const DWORD ms = ElapsedMs([&] { stopped = StopAgent(kAgentImageName); });
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(g_stopFailed, 0);
    EXPECT_GE(ms, 2950u);
    EXPECT_LT(ms, 8000u);
    EXPECT_TRUE(WaitEnded(first));
    EXPECT_TRUE(WaitEnded(second));
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(AgentProcessTest, AgentOutOfReachIsHandedToTheTerminateService)
{
    HANDLE agent = StartAgent(L"ZelnaNivoroAgent.exe", true);
    // Found, but without the pause: it cannot be opened for termination.
    int running = 0;
    EXPECT_LT(ElapsedMs([&] { running = IsAgentRunning(kAgentImageName); }), 900u);
    EXPECT_EQ(running, 1);

    int stopped = 0;
    const DWORD ms = ElapsedMs([&] { stopped = StopAgent(kAgentImageName); });
    EXPECT_EQ(stopped, 1);
    EXPECT_EQ(g_stopFailed, 0);
    EXPECT_GE(ms, 1450u);
    EXPECT_TRUE(WaitEnded(agent)) << "the terminate service must really end it";
    CloseHandle(agent);
}

TEST_F(AgentProcessTest, MissingTerminateServiceGivesUpAndLeavesLaterInstances)
{
    InstallStandIns(true, false);
    HANDLE denied = StartAgent(L"ZelnaNivoroAgent.exe", true);
    Sleep(50);
    HANDLE later = StartAgent();
    int stopped = 1;
    const DWORD ms = ElapsedMs([&] { stopped = StopAgent(kAgentImageName); });
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(g_stopFailed, 1);
    EXPECT_LT(ms, 1400u) << "giving up takes no per-instance pause";
    EXPECT_FALSE(WaitEnded(denied, 0));
    EXPECT_FALSE(WaitEnded(later, 300)) << "entries after the given-up one are not visited";
    CloseHandle(denied);
    CloseHandle(later);
}

TEST_F(AgentProcessTest, LaunchStartsTheInstalledAgentOrFailsWhenItIsMissing)
{
    ASSERT_TRUE(LaunchAgent());
    bool appeared = false;
    for (int i = 0; i < 200 && !appeared; ++i) {
        appeared = !ProcessesNamed(kAgentImageName).empty();
        Sleep(25);
    }
    EXPECT_TRUE(appeared);

    EndAllAgents();
    InstallStandIns(false, true);
    EXPECT_FALSE(LaunchAgent());
    Sleep(300);
    EXPECT_TRUE(ProcessesNamed(kAgentImageName).empty());
}

}  // namespace
