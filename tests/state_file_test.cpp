// The state file for real, in this prefix's application-data folder, and its
// reconciliation with real stand-in agents.
// ntstatus.h names the NTSTATUS codes that windows.h would otherwise define in part.
#define WIN32_NO_STATUS
#include "world_test.h"
#undef WIN32_NO_STATUS

#include <ntstatus.h>
#include <optional>
#include <winternl.h>

#include "agent_state.h"
#include "import_patch.h"

namespace {

// What the read makes of a seventh character that is no digit: that character less '0', read as stopped.
const AgentState kLetterA = 'a' - '0';
const AgentState kNoSeventhCharacter = '\0' - '0';
// The column of a row whose file is not written: a value no read yields.
const AgentState kNotWritten = -1000;

class StateFile : public WorldTest {};

// The time's hexadecimal digits, the state digit, copies of the third, fifth and fourth: the one pin of the stored
// form; the writes below are read back.
TEST_F(StateFile, TheValueIsSixTimeDigitsTheStateDigitAndThreeCopies)
{
    EXPECT_STREQ(EncodeStateValue(0x12345678, kAgentStopped).text, "1234561354");
}

TEST_F(StateFile, WriteReplacesAPlainFileNamedLikeItsFolderAndKeepsEveryOtherEntry)
{
    HANDLE plainFile = CreateFileA(StateFolderPath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    CloseHandle(plainFile);
    WriteAgentState(kAgentStopped);
    EXPECT_EQ(ReadAgentState(), kAgentStopped);

    WriteStateFile("[Other]\r\nA=1\r\n[Settings]\r\nBefore=x\r\nService=6933c113c3\r\nAfter=z\r\n");
    WriteAgentState(kAgentRunning);
    EXPECT_EQ(ReadAgentState(), kAgentRunning);
    for (const char* kept : {"[Other]", "A=1", "Before=x", "After=z"}) {
        EXPECT_NE(StateFileBytes().find(kept), std::string::npos) << kept << " lost";
    }
}

// NtQuerySystemInformation: every agent in another signed-in user's session (SYSTEM_PROCESS_INFORMATION).
decltype(&NtQuerySystemInformation) g_realList;
NTSTATUS NTAPI AgentsInAnotherSession(SYSTEM_INFORMATION_CLASS kind, PVOID list, ULONG length, PULONG needed)
{
    const NTSTATUS status = g_realList(kind, list, length, needed);
    for (BYTE* at = static_cast<BYTE*>(list); NT_SUCCESS(status);) {
        SYSTEM_PROCESS_INFORMATION* entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(at);
        const std::wstring name(entry->ImageName.Buffer, entry->ImageName.Length / sizeof(wchar_t));
        if (_wcsicmp(name.c_str(), says::kAgentFile) == 0) {
            entry->SessionId += 1;
        }
        if (entry->NextEntryOffset == 0) {
            break;
        }
        at += entry->NextEntryOffset;
    }
    return status;
}

// Start-up writes the file only when the stored state and the process list disagree; what it keeps is the read
// state, of which only the seventh character counts.
TEST_F(StateFile, StartUpBringsTheStoredStateIntoLineWithTheProcessList)
{
    enum Agent { kNone, kOwn, kOtherUsers };
    const struct {
        const char* name;
        const char* file;
        Agent agent;
        AgentState written;
        AgentState state;
    } rows[] = {
        {"first run: no file, no folder, no agent", nullptr, kNone, kAgentStopped, kAgentStopped},
        {"no key reads as running, no agent", "[Other]\r\nService=6933c113c3\r\n", kNone, kAgentStopped, kAgentStopped},
        {"stopped, no agent", "[Settings]\r\nService=6933c113c3\r\n", kNone, kNotWritten, kAgentStopped},
        {"stopped by a letter, no agent", "[Settings]\r\nService=012345a789\r\n", kNone, kNotWritten, kLetterA},
        {"one character, no agent", "[Settings]\r\nService=0\r\n", kNone, kNotWritten, kNoSeventhCharacter},
        {"stopped, an agent", "[Settings]\r\nService=6933c113c3\r\n", kOwn, kAgentRunning, kAgentRunning},
        {"running, an agent", "[Settings]\r\nService=6933c103c3\r\n", kOwn, kNotWritten, kAgentRunning},
        {"running, only another user's agent", "[Settings]\r\nService=6933c103c3\r\n", kOtherUsers, kAgentStopped,
         kAgentStopped},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(LayOut());
        if (row.agent != kNone) {
            CloseHandle(StartAgent(row.agent == kOwn ? AgentReach::kOwn : AgentReach::kOtherUser));
        }
        if (row.file != nullptr) {
            WriteStateFile(row.file);
        }
        const std::string before = StateFileBytes();
        std::optional<ImportPatch<decltype(&NtQuerySystemInformation)>> list;
        if (row.agent == kOtherUsers) {
            list.emplace("ntdll.dll", "NtQuerySystemInformation", AgentsInAnotherSession);
            g_realList = list->Original();
        }
        ReadAgentState();
        const bool found = ReconcileAgentState();
        EXPECT_EQ(found, row.agent == kOwn);
        EXPECT_EQ(g_agentState, row.state);
        if (row.written == kNotWritten) {
            EXPECT_EQ(StateFileBytes(), before) << "the file agreed and is not written";
        } else {
            EXPECT_NE(StateFileBytes(), before) << "not written";
            EXPECT_EQ(ReadAgentState(), row.written) << "written as read back";
        }
    }
}

}  // namespace
