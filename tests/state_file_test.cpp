// The state file for real, in this prefix's application-data folder, and its
// reconciliation with real stand-in agents.
#include "world_test.h"

#include "agent_state.h"

namespace {

// What the read makes of a seventh character that is no digit: that character less '0', read as stopped.
const AgentState kLetterA = 'a' - '0';
const AgentState kNoSeventhCharacter = '\0' - '0';
// The state digit of a row whose file is not written.
const char kNotWritten = 0;

class StateFile : public WorldTest {};

// The time's hexadecimal digits, the state digit, copies of the third, fifth and fourth: the writes below see only
// the copies and the state digit.
TEST_F(StateFile, TheValueIsSixTimeDigitsTheStateDigitAndThreeCopies)
{
    EXPECT_STREQ(EncodeStateValue(0x12345678, kAgentStopped).text, "1234561354");
}

TEST_F(StateFile, OnlyTheSeventhCharacterOfAStoredValueCounts)
{
    const struct {
        const char* name;
        const char* file;
        AgentState state;
    } rows[] = {
        {"no file", nullptr, kAgentRunning},
        {"no key", "[Other]\r\nService=6933c113c3\r\n", kAgentRunning},
        {"stopped", "[Settings]\r\nService=6933c113c3\r\n", kAgentStopped},
        {"running", "[Settings]\r\nService=6933c103c3\r\n", kAgentRunning},
        {"a letter", "[Settings]\r\nService=012345a789\r\n", kLetterA},
        {"one character", "[Settings]\r\nService=0\r\n", kNoSeventhCharacter},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileA(StateFilePath().c_str());
        if (row.file != nullptr) {
            WriteStateFile(row.file);
        }
        g_agentState = 7;
        ReadAgentState();
        EXPECT_EQ(g_agentState, row.state);
    }
}

TEST_F(StateFile, WriteReplacesAPlainFileNamedLikeItsFolderAndKeepsEveryOtherEntry)
{
    HANDLE plainFile = CreateFileA(StateFolderPath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    CloseHandle(plainFile);
    WriteAgentState(kAgentStopped);
    EXPECT_TRUE(IsStateValue(StoredValue(), '1')) << StoredValue();

    WriteStateFile("[Other]\r\nA=1\r\n[Settings]\r\nBefore=x\r\nService=6933c113c3\r\nAfter=z\r\n");
    WriteAgentState(kAgentRunning);
    EXPECT_TRUE(IsStateValue(StoredValue(), '0')) << StoredValue();
    for (const char* kept : {"[Other]", "A=1", "Before=x", "After=z"}) {
        EXPECT_NE(StateFileBytes().find(kept), std::string::npos) << kept << " lost";
    }
}

// Start-up writes the file only when the stored state and the process list disagree.
TEST_F(StateFile, StartUpBringsTheStoredStateIntoLineWithTheProcessList)
{
    const struct {
        const char* name;
        const char* stored;
        bool agent;
        char written;
        AgentState state;
    } rows[] = {
        {"first run: no file, no folder, no agent", nullptr, false, '1', kAgentStopped},
        {"stopped by a letter, no agent", "012345a789", false, kNotWritten, kLetterA},
        {"stopped, an agent", "6933c113c3", true, '0', kAgentRunning},
        {"running, an agent", "6933c103c3", true, kNotWritten, kAgentRunning},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.agent && Running().empty()) {
            CloseHandle(StartAgent());
        }
        if (row.stored != nullptr) {
            WriteStateFile(std::string("[Settings]\r\nService=") + row.stored + "\r\n");
        }
        const std::string before = StateFileBytes();
        ReadAgentState();
        const bool found = ReconcileAgentState();
        EXPECT_EQ(found, row.agent);
        EXPECT_EQ(g_agentState, row.state);
        if (row.written == kNotWritten) {
            EXPECT_EQ(StateFileBytes(), before) << "the file agreed and is not written";
        } else {
            EXPECT_TRUE(IsStateValue(StoredValue(), row.written)) << StoredValue();
        }
    }
}

}  // namespace
