// The state file for real, in this prefix's application-data folder, and its
// reconciliation with real stand-in agents.
#include "world_test.h"

#include <optional>
#include <regex>
#include <shlobj.h>

#include "agent_state.h"
#include "import_patch.h"

namespace {

// What the read makes of a seventh character that is no digit: that character less '0', read as stopped.
const AgentState kLetterA = 'a' - '0';
const AgentState kNoSeventhCharacter = '\0' - '0';
// The column of a row whose file is not written: a value no read yields.
const AgentState kNotWritten = -1000;
// A user's folder name that neither code page 1252 nor 950 holds: simplified Chinese, as on a mainland account.
const wchar_t kUnconvertibleName[] = L"张伟";
decltype(&SHGetFolderPathW) g_realFolderW;

// SHGetFolderPathW: the application-data folder of a user so named; other folders as they are (SHGetFolderPathW).
HRESULT WINAPI UnconvertibleAppDataW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path)
{
    const HRESULT result = g_realFolderW(owner, folder, token, flags, path);
    if (result == S_OK && folder == CSIDL_APPDATA) {
        wcscat_s(path, MAX_PATH, L"\\");
        wcscat_s(path, MAX_PATH, kUnconvertibleName);
    }
    return result;
}

// SHGetFolderPathA: the wide answer converted to the system code page, a character it lacks as "?" (GetACP: "use
// the Unicode calls"; SHGetFolderPathA).
HRESULT WINAPI UnconvertibleAppDataA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    wchar_t wide[MAX_PATH] = {};
    const HRESULT result = UnconvertibleAppDataW(owner, folder, token, flags, wide);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, path, MAX_PATH, NULL, NULL);
    return result;
}

// The application-data folder under that name, made inside the real one for a scope; it leaves nothing behind.
class UnconvertibleAppData {
public:
    UnconvertibleAppData()
    {
        g_realFolderW = wide_.Original();
        UnconvertibleAppDataW(NULL, CSIDL_APPDATA, NULL, 0, folder_);
        CreateDirectoryW(folder_, NULL);
    }
    ~UnconvertibleAppData()
    {
        DeleteFileW(World::StateFilePath().c_str());
        RemoveDirectoryW(World::StateFolderPath().c_str());
        RemoveDirectoryW(folder_);
    }

private:
    ImportPatch<decltype(&SHGetFolderPathW)> wide_{"shell32.dll", "SHGetFolderPathW", UnconvertibleAppDataW};
    ImportPatch<decltype(&SHGetFolderPathA)> narrow_{"shell32.dll", "SHGetFolderPathA", UnconvertibleAppDataA};
    wchar_t folder_[MAX_PATH] = {};
};

class StateFile : public WorldTest {};

// The time's hexadecimal digits, the state digit, copies of the third, fifth and fourth: the one pin of the stored
// form; the writes below are read back.
TEST_F(StateFile, TheValueIsSixTimeDigitsTheStateDigitAndThreeCopies)
{
    EXPECT_STREQ(EncodeStateValue(0x12345678, kAgentStopped).text, "1234561354");
}

TEST_F(StateFile, WriteReplacesAPlainFileNamedLikeItsFolderAndKeepsEveryOtherEntry)
{
    HANDLE plainFile = CreateFileW(StateFolderPath().c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    CloseHandle(plainFile);
    WriteAgentState(kAgentStopped);
    // The bytes of a new file: the system code page's, as a narrow write would leave them.
    EXPECT_TRUE(
        std::regex_match(StateFileBytes(), std::regex("\\[Settings\\]\r\nService=[0-9a-f]{6}1[0-9a-f]{3}\r\n")));

    WriteStateFile("[Other]\r\nA=1\r\n[Settings]\r\nBefore=x\r\nService=6933c113c3\r\nAfter=z\r\n");
    WriteAgentState(kAgentRunning);
    EXPECT_EQ(ReadAgentState(), kAgentRunning);
    for (const char* kept : {"[Other]", "A=1", "Before=x", "After=z"}) {
        EXPECT_NE(StateFileBytes().find(kept), std::string::npos) << kept << " lost";
    }
}

// Start-up writes the file only when the stored state and the process list disagree; what it keeps is the read
// state, of which only the seventh character counts.
TEST_F(StateFile, StartUpBringsTheStoredStateIntoLineWithTheProcessList)
{
    enum Agent { kNone, kOwn };
    const struct {
        const char* name;
        const char* file;
        Agent agent;
        AgentState written;
        AgentState state;
        bool unconvertibleName;  // the user's folder name is one the system code page lacks
    } rows[] = {
        {"first run: no file, no folder, no agent", nullptr, kNone, kAgentStopped, kAgentStopped, false},
        {"no key reads as running, no agent", "[Other]\r\nService=6933c113c3\r\n", kNone, kAgentStopped, kAgentStopped,
         false},
        {"stopped by a letter, no agent", "[Settings]\r\nService=012345a789\r\n", kNone, kNotWritten, kLetterA, false},
        {"one character, no agent", "[Settings]\r\nService=0\r\n", kNone, kNotWritten, kNoSeventhCharacter, false},
        {"stopped, an agent", "[Settings]\r\nService=6933c113c3\r\n", kOwn, kAgentRunning, kAgentRunning, false},
        {"running, an agent", "[Settings]\r\nService=6933c103c3\r\n", kOwn, kNotWritten, kAgentRunning, false},
        {"first run, a user name the code page lacks", nullptr, kNone, kAgentStopped, kAgentStopped, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(LayOut());
        if (row.agent != kNone) {
            CloseHandle(StartAgent());
        }
        std::optional<UnconvertibleAppData> appData;
        if (row.unconvertibleName) {
            appData.emplace();
            for (const UINT codePage : {1252, 950}) {
                BOOL defaulted = FALSE;
                char narrow[MAX_PATH] = {};
                WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, kUnconvertibleName, -1, narrow, MAX_PATH, NULL,
                                    &defaulted);
                ASSERT_TRUE(defaulted) << "the name converts to code page " << codePage;
            }
        }
        if (row.file != nullptr) {
            WriteStateFile(row.file);
        }
        const std::string before = StateFileBytes();
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
