// The state file for real, in this prefix's application-data folder, and its
// reconciliation with real stand-in agents.
#include "world_test.h"

#include "agent_state.h"

namespace {

class StateFile : public WorldTest {};

TEST_F(StateFile, TheValueIsSixTimeDigitsTheStateDigitAndThreeCopies)
{
    EXPECT_STREQ(EncodeStateValue(0x6933c1f0, kAgentRunning).text, "6933c103c3");
    EXPECT_STREQ(EncodeStateValue(0x6933c1f0, kAgentStopped).text, "6933c113c3");
    EXPECT_STREQ(EncodeStateValue(0x12345678, kAgentStopped).text, "1234561354") << "copies of distinct digits";
}

TEST_F(StateFile, OnlyTheSeventhCharacterOfAStoredValueCounts)
{
    const struct { const char* name; const char* file; AgentState state; } rows[] = {
        {"no file", nullptr, 0},
        {"empty file", "", 0},
        {"no key", "[Other]\r\nService=6933c113c3\r\n", 0},
        {"stopped", "[Settings]\r\nService=6933c113c3\r\n", 1},
        {"running", "[Settings]\r\nService=6933c103c3\r\n", 0},
        {"a letter", "[Settings]\r\nService=012345a789\r\n", 'a' - '0'},
        {"six characters", "[Settings]\r\nService=000000\r\n", -'0'},
        {"one character", "[Settings]\r\nService=0\r\n", -'0'},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileA(StateFilePath().c_str());
        if (row.file != nullptr) WriteStateFile(row.file);
        g_agentState = 7;
        EXPECT_EQ(ReadAgentState(), row.state);
        EXPECT_EQ(g_agentState, row.state);
    }
}

TEST_F(StateFile, WriteReplacesAPlainFileNamedLikeItsFolderAndKeepsEveryOtherEntry)
{
    CloseHandle(CreateFileA(StateFolderPath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
    EXPECT_EQ(WriteAgentState(kAgentStopped), 0);
    EXPECT_TRUE(IsStateValue(StoredValue(), '1')) << StoredValue();

    WriteStateFile("[Other]\r\nA=1\r\n[Settings]\r\nBefore=x\r\nService=6933c113c3\r\nAfter=z\r\n");
    EXPECT_EQ(WriteAgentState(kAgentRunning), 0);
    EXPECT_TRUE(IsStateValue(StoredValue(), '0')) << StoredValue();
    for (const char* kept : {"[Other]", "A=1", "Before=x", "After=z"}) {
        EXPECT_NE(StateFileBytes().find(kept), std::string::npos) << kept << " lost";
    }
}

// Start-up writes the file only when the stored state and the process list disagree.
TEST_F(StateFile, StartUpBringsTheStoredStateIntoLineWithTheProcessList)
{
    const struct { const char* stored; bool agent; char written; AgentState state; } rows[] = {
        {nullptr, false, '1', 1},  // first run: no file, no folder, no agent
        {"012345a789", false, 0, 'a' - '0'},
        {"6933c113c3", true, '0', 0},
        {"6933c103c3", true, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.stored ? row.stored : "no file");
        if (row.agent && Running().empty()) StartAgent();
        if (row.stored != nullptr) WriteStateFile(std::string("[Settings]\r\nService=") + row.stored + "\r\n");
        const std::string before = StateFileBytes();
        ReadAgentState();
        EXPECT_EQ(ReconcileAgentState(), row.agent);
        EXPECT_EQ(g_agentState, row.state);
        if (row.written != 0) {
            EXPECT_TRUE(IsStateValue(StoredValue(), row.written)) << StoredValue();
        } else {
            EXPECT_EQ(StateFileBytes(), before) << "the file agreed and is not written";
        }
    }
}

}  // namespace
