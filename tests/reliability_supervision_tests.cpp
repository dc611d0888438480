// Hostile state files through the real reading, reconciling and writing code,
// against the real file; and a launch path that names a folder.
#include <gtest/gtest.h>
#include <windows.h>

#include "agent_process.h"
#include "agent_rig.h"
#include "agent_state.h"
#include "import_patch.h"
#include "reliability_rig.h"
#include "state_file_rig.h"

namespace {

class HostileStateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EndAllAgents();
        RemoveStateFile();
    }
    void TearDown() override
    {
        SetFileAttributesA(AppDataFolder().c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveStateFile();
        EndAllAgents();
    }
    static std::string AppDataFolder()
    {
        std::string folder = StateFolderPath();
        return folder.substr(0, folder.find_last_of('\\'));
    }
    // A write either succeeded with a valid value and nothing else lost, or
    // failed and left the bytes as they were.
    static void ExpectSoundWrite(int result, const ProfileLines& before, const std::string& bytes, char digit,
                                 const std::string& name)
    {
        if (result == 0) {
            EXPECT_TRUE(IsWellFormedValue(StoredValue(), digit)) << name << ": " << StoredValue();
            EXPECT_EQ(LostLine(before, ProfileOf(StateFilePath())), "") << name;
        } else {
            EXPECT_EQ(result, -1) << name;
            EXPECT_EQ(ReadStateFileBytes(), bytes) << name << ": a failed write changed the file";
        }
    }
};

TEST_F(HostileStateTest, EveryGeneratedFileReadsByTheRuleAndKeepsEverythingElse)
{
    const std::vector<BadStateFile> files = BadStateFiles(20261207);
    ASSERT_GE(files.size(), 500u);
    for (const BadStateFile& file : files) {
        WriteStateFileBytes(file.bytes);
        const ProfileLines before = ProfileOf(StateFilePath());
        const int expected = StateByReadingRule(StateFilePath());
        EXPECT_EQ(ReadAgentState(), expected) << file.name;

        const std::string bytes = ReadStateFileBytes();
        EXPECT_FALSE(ReconcileAgentState()) << file.name;
        EXPECT_NE(g_agentState, kAgentRunning) << file.name << ": no agent runs, so start-up shows stopped";
        if (expected == kAgentRunning) {
            ExpectSoundWrite(0, before, bytes, '1', file.name);
        } else {
            EXPECT_EQ(g_agentState, expected) << file.name;
            EXPECT_EQ(ReadStateFileBytes(), bytes) << file.name << ": agreeing state, file untouched";
        }
        ExpectSoundWrite(WriteAgentState(kAgentRunning), before, bytes, '0', file.name);
        EXPECT_EQ(ReadStateFileBytes().empty(), false) << file.name;
    }
    Figure("generated state files through read, reconcile and write", files.size(), "files");
}

TEST_F(HostileStateTest, SpecialFilesAndFoldersFallBackQuietly)
{
    // A read-only file: the write may fail, but never half-way.
    WriteStateFileBytes("[Settings]\r\nService=6933c103c3\r\n[Keep]\r\nA=B\r\n");
    SetFileAttributesA(StateFilePath().c_str(), FILE_ATTRIBUTE_READONLY);
    ProfileLines before = ProfileOf(StateFilePath());
    std::string bytes = ReadStateFileBytes();
    EXPECT_EQ(ReadAgentState(), kAgentRunning);
    ExpectSoundWrite(WriteAgentState(kAgentStopped), before, bytes, '1', "read-only info.ini");
    RemoveStateFile();

    // info.ini is a folder: read as running, the write fails, the folder stays.
    CreateDirectoryA(StateFolderPath().c_str(), NULL);
    ASSERT_TRUE(CreateDirectoryA(StateFilePath().c_str(), NULL));
    EXPECT_EQ(ReadAgentState(), kAgentRunning);
    EXPECT_FALSE(ReconcileAgentState());
    EXPECT_EQ(g_agentState, kAgentStopped);
    EXPECT_EQ(WriteAgentState(kAgentStopped), -1);
    EXPECT_NE(GetFileAttributesA(StateFilePath().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    RemoveStateFile();

    // A plain file "Zelna" gives way to the folder.
    FILE* plain = fopen(StateFolderPath().c_str(), "wb");
    ASSERT_NE(plain, nullptr);
    fputs("not a folder", plain);
    fclose(plain);
    EXPECT_EQ(ReadAgentState(), kAgentRunning);
    EXPECT_FALSE(ReconcileAgentState());
    EXPECT_NE(GetFileAttributesA(StateFolderPath().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(IsWellFormedValue(StoredValue(), '1'));
    RemoveStateFile();

    // A read-only application-data folder.
    ASSERT_TRUE(SetFileAttributesA(AppDataFolder().c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(ReadAgentState(), kAgentRunning);
    EXPECT_FALSE(ReconcileAgentState());
    const int result = WriteAgentState(kAgentStopped);
    ExpectSoundWrite(result, ProfileLines(), "", '1', "read-only application-data folder");
    printf("read-only application-data folder: write result %d\n", result);
}

ImportPatch* g_terminate = NULL;
HANDLE g_agent = NULL;

// What Windows answers for a process that ended since the snapshot while a
// handle still keeps its object: access denied.
BOOL WINAPI EndedBeforeTerminate(HANDLE process, UINT code)
{
    g_terminate->Original<BOOL(WINAPI*)(HANDLE, UINT)>()(process, code);
    WaitEnded(g_agent);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST(EndedAgentTest, AnAgentThatEndedByItselfNeedsNoTerminateServiceNorPause)
{
    EndAllAgents();
    InstallStandIns(true, false);
    const std::wstring service = InstallFolder() + L"\\ZelnaTerminateService.exe";
    ASSERT_TRUE(CopyFileW(BesideThisProgram(L"standin_idle_service.exe").c_str(), service.c_str(), FALSE));
    DeleteFileW((service + L".starts").c_str());
    g_agent = StartAgent();
    ImportPatch terminate("kernel32.dll", "TerminateProcess", (void*)EndedBeforeTerminate);
    g_terminate = &terminate;
    int result = 0;
    const DWORD ms = ElapsedMs([&result] { result = StopAgent(kAgentImageName); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_stopFailed, 0);
    EXPECT_LT(ms, 1500u) << "no pause for an agent already gone";
    EXPECT_EQ(GetFileAttributesW((service + L".starts").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the terminate service was started for an agent already gone";
    CloseHandle(g_agent);
    InstallStandIns(true, true);
}

TEST(LaunchPathTest, AFolderNamedLikeTheAgentIsNotALaunch)
{
    EndAllAgents();
    InstallStandIns(false, false);
    const std::wstring folder = InstallFolder() + L"\\ZelnaNivoroAgent.exe";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    EXPECT_FALSE(LaunchAgent());
    RemoveDirectoryW(folder.c_str());

    InstallStandIns(true, false);
    EXPECT_TRUE(LaunchAgent()) << "a file is still opened";
    bool launched = false;
    for (int i = 0; i < 200 && !launched; ++i, Sleep(25)) {
        launched = !ProcessesNamed(L"ZelnaNivoroAgent.exe").empty();
    }
    EXPECT_TRUE(launched);
    EndAllAgents();
}

}  // namespace
