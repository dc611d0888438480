// The state file for real, in this prefix's application-data folder, and
// its reconciliation with real stand-in agents.
#include <gtest/gtest.h>
#include <windows.h>

#include "agent_process.h"
#include "agent_rig.h"
#include "agent_state.h"
#include "import_patch.h"
#include "state_file_rig.h"

namespace {

class AgentStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndAllAgents();
        RemoveStateFile();
    }
    void TearDown() override
    {
        EndAllAgents();
        RemoveStateFile();
    }
    static AgentState ReadStored(const std::string& value)
    {
        WriteStateFileBytes("[Settings]\r\nService=" + value + "\r\n");
        return ReadAgentState();
    }
};

TEST(EncodeStateValueTest, LaysOutTimeDigitsStateDigitAndCopies)
{
    EXPECT_STREQ(EncodeStateValue(0x6933c1f0, kAgentRunning).text, "6933c103c3");
    EXPECT_STREQ(EncodeStateValue(0x6933c1f0, kAgentStopped).text, "6933c113c3");
    EXPECT_STREQ(EncodeStateValue(0xfedcba98, kAgentStopped).text, "fedcba1dbc");
}

TEST_F(AgentStateTest, ReadsOnlyTheStateDigit)
{
    EXPECT_EQ(ReadStored("6933c113c3"), 1);
    EXPECT_EQ(g_agentState, 1);
    EXPECT_EQ(ReadStored("6933c103c3"), 0);
    EXPECT_EQ(ReadStored("012345a7890"), 'a' - '0');
    EXPECT_EQ(ReadStored("01234507890"), 0);
    // A byte above 127 is a negative signed byte.
    EXPECT_EQ(ReadStored("012345\xb0" "789"), static_cast<signed char>(0xb0) - '0');
}

TEST_F(AgentStateTest, ShortValuesReadAsStopped)
{
    for (const char* value : {"", "0", "000000"}) {
        // A longer earlier read must not leave its state digit behind.
        ReadStored("0000000000");
        EXPECT_NE(ReadStored(value), 0) << "value \"" << value << "\"";
    }
}

TEST_F(AgentStateTest, NoFileEmptyFileOrMissingKeyReadAsRunning)
{
    g_agentState = 7;
    EXPECT_EQ(ReadAgentState(), 0);
    EXPECT_EQ(g_agentState, 0);
    WriteStateFileBytes("");
    EXPECT_EQ(ReadAgentState(), 0);
    WriteStateFileBytes("[Other]\r\nService=0000001000\r\n");
    EXPECT_EQ(ReadAgentState(), 0);
}

TEST_F(AgentStateTest, WriteCreatesFolderAndFileWithAWellFormedValue)
{
    EXPECT_EQ(WriteAgentState(kAgentStopped), 0);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1')) << StoredValue();
    EXPECT_EQ(WriteAgentState(kAgentRunning), 0);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '0')) << StoredValue();
    EXPECT_EQ(ReadAgentState(), 0);
}

TEST_F(AgentStateTest, WriteReplacesAPlainFileWhereTheFolderBelongs)
{
    FILE* file = fopen(StateFolderPath().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fputs("not a folder", file);
    fclose(file);
    EXPECT_EQ(WriteAgentState(kAgentStopped), 0);
    EXPECT_TRUE(GetFileAttributesA(StateFolderPath().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));
}

TEST_F(AgentStateTest, WriteKeepsEveryOtherSectionAndKey)
{
    WriteStateFileBytes("; kept\r\n[Other]\r\nA=1\r\n[Settings]\r\nBefore=x y\r\nService=0000000000\r\nAfter=z\r\n");
    EXPECT_EQ(WriteAgentState(kAgentStopped), 0);
    char value[64];
    const std::string path = StateFilePath();
    GetPrivateProfileStringA("Other", "A", "", value, sizeof value, path.c_str());
    EXPECT_STREQ(value, "1");
    GetPrivateProfileStringA("Settings", "Before", "", value, sizeof value, path.c_str());
    EXPECT_STREQ(value, "x y");
    GetPrivateProfileStringA("Settings", "After", "", value, sizeof value, path.c_str());
    EXPECT_STREQ(value, "z");
    EXPECT_NE(ReadStateFileBytes().find("; kept"), std::string::npos);
}

// Stored state against the process list: the file is written only when they disagree.
TEST_F(AgentStateTest, ReconcileFollowsTheProcessList)
{
    // First run: no file, no agent.
    EXPECT_EQ(ReadAgentState(), 0);
    EXPECT_FALSE(ReconcileAgentState());
    EXPECT_EQ(g_agentState, 1);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));

    // Stored stopped, no agent: untouched, stored value kept.
    WriteStateFileBytes("[Settings]\r\nService=012345a789\r\n");
    std::string before = ReadStateFileBytes();
    ReadAgentState();
    EXPECT_FALSE(ReconcileAgentState());
    EXPECT_EQ(g_agentState, 'a' - '0');
    EXPECT_EQ(ReadStateFileBytes(), before);

    HANDLE agent = StartAgent();
    // Stored stopped, agent found: rewritten running.
    ReadAgentState();
    EXPECT_TRUE(ReconcileAgentState());
    EXPECT_EQ(g_agentState, 0);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '0'));

    // Stored running, agent found: untouched.
    before = ReadStateFileBytes();
    ReadAgentState();
    EXPECT_TRUE(ReconcileAgentState());
    EXPECT_EQ(g_agentState, 0);
    EXPECT_EQ(ReadStateFileBytes(), before);

    // Stored running, agent gone: rewritten stopped.
    EndAllAgents();
    CloseHandle(agent);
    ReadAgentState();
    EXPECT_FALSE(ReconcileAgentState());
    EXPECT_EQ(g_agentState, 1);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));
}

HRESULT WINAPI UnresolvableFolder(HWND, int, HANDLE, DWORD, LPSTR)
{
    return E_FAIL;
}

BOOL WINAPI FailingProfileWrite(LPCSTR, LPCSTR, LPCSTR, LPCSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(AgentStateTest, FaultsFallBackWithoutWriting)
{
    WriteStateFileBytes("[Settings]\r\nService=0000001000\r\n");
    const std::string before = ReadStateFileBytes();
    {
        ImportPatch folder("shell32.dll", "SHGetFolderPathA", (void*)UnresolvableFolder);
        EXPECT_EQ(ReadAgentState(), 0) << "an unresolvable folder reads as running";
        EXPECT_EQ(WriteAgentState(kAgentRunning), 100);
    }
    EXPECT_EQ(ReadStateFileBytes(), before);
    {
        ImportPatch write("kernel32.dll", "WritePrivateProfileStringA", (void*)FailingProfileWrite);
        EXPECT_EQ(WriteAgentState(kAgentRunning), -1);
    }
    EXPECT_EQ(ReadStateFileBytes(), before);
}

}  // namespace
