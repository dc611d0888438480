#include "agent_state.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "agent_process.h"

AgentState g_agentState = kAgentRunning;

namespace {

const size_t kPathSize = 1280;
const char kSection[] = "Settings";
const char kKey[] = "Service";
// Its state digit is "0": a file without the key reads as running.
const char kDefaultValue[] = "01234507890";
const size_t kStateDigit = 6;

}  // namespace

AgentState ReadAgentState()
{
    g_agentState = kAgentRunning;
    char path[kPathSize];
    ZeroMemory(path, sizeof path);
    if (SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, path) != S_OK) {
        return g_agentState;
    }
    strcat_s(path, sizeof path, "\\Zelna\\info.ini");

    struct _stat64i32 info;
    if (_stat64i32(path, &info) != 0 || info.st_size <= 0) {
        return g_agentState;
    }

    // Zero-filled so that a short stored value reads its terminator, never stale bytes.
    char value[32];
    ZeroMemory(value, sizeof value);
    GetPrivateProfileStringA(kSection, kKey, kDefaultValue, value, sizeof value, path);
    g_agentState = static_cast<signed char>(value[kStateDigit]) - '0';
    return g_agentState;
}

StateValue EncodeStateValue(__time64_t time, AgentState state)
{
    char digits[80];
    ZeroMemory(digits, sizeof digits);
    sprintf_s(digits, sizeof digits, "%llx", static_cast<unsigned long long>(time));
    digits[7] = digits[2];
    digits[8] = digits[4];
    digits[9] = digits[3];
    digits[kStateDigit] = static_cast<char>('0' + state);
    digits[10] = '\0';

    StateValue value;
    memcpy(value.text, digits, sizeof value.text);
    return value;
}

int WriteAgentState(AgentState state)
{
    const StateValue value = EncodeStateValue(_time64(NULL), state);

    char path[kPathSize];
    ZeroMemory(path, sizeof path);
    if (SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, path) != S_OK) {
        return 100;
    }
    strcat_s(path, sizeof path, "\\Zelna");
    // A plain file where the folder belongs would keep the folder from being made;
    // remove() leaves a folder of that name alone.
    remove(path);
    CreateDirectoryA(path, NULL);
    strcat_s(path, sizeof path, "\\info.ini");
    return WritePrivateProfileStringA(kSection, kKey, value.text, path) ? 0 : -1;
}

bool ReconcileAgentState()
{
    // Look first, write after: the file follows the process list, never the reverse.
    const bool found = IsAgentRunning(kAgentImageName) != 0;
    if (found && g_agentState != kAgentRunning) {
        WriteAgentState(kAgentRunning);
        g_agentState = kAgentRunning;
    } else if (!found && g_agentState == kAgentRunning) {
        WriteAgentState(kAgentStopped);
        g_agentState = kAgentStopped;
    }
    return found;
}
