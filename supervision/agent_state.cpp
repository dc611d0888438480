#include "agent_state.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>

#include "agent_process.h"

AgentState g_agentState = kAgentRunning;

namespace {

// Paths are wide from the folder call on: a narrow call would convert a user's
// folder name through the system code page, which may lack its characters.
const size_t kPathChars = 1280;
const wchar_t kSection[] = L"Settings";
const wchar_t kKey[] = L"Service";
// Its state digit is "0": a file without the key reads as running.
const wchar_t kDefaultValue[] = L"01234507890";
const size_t kStateDigit = 6;

}  // namespace

AgentState ReadAgentState()
{
    g_agentState = kAgentRunning;
    wchar_t path[kPathChars];
    ZeroMemory(path, sizeof path);
    if (SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, path) != S_OK) {
        return g_agentState;
    }
    wcscat_s(path, _countof(path), L"\\Zelna\\info.ini");

    struct _stat64i32 info;
    if (_wstat64i32(path, &info) != 0 || info.st_size <= 0) {
        return g_agentState;
    }

    // Zero-filled so that a short stored value reads its terminator, never stale characters.
    wchar_t value[32];
    ZeroMemory(value, sizeof value);
    GetPrivateProfileStringW(kSection, kKey, kDefaultValue, value, _countof(value), path);
    // The writer stores ASCII; any other character there is no "0", so stopped.
    const wchar_t digit = value[kStateDigit];
    g_agentState = digit < 0x80 ? static_cast<AgentState>(digit) - '0' : kAgentStopped;
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
    // ASCII digits and letters, the same characters wide.
    wchar_t text[sizeof value.text];
    for (size_t i = 0; i < sizeof value.text; ++i) {
        text[i] = static_cast<unsigned char>(value.text[i]);
    }

    wchar_t path[kPathChars];
    ZeroMemory(path, sizeof path);
    if (SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, path) != S_OK) {
        return 100;
    }
    wcscat_s(path, _countof(path), L"\\Zelna");
    // A plain file where the folder belongs would keep the folder from being made;
    // _wremove() leaves a folder of that name alone.
    _wremove(path);
    CreateDirectoryW(path, NULL);
    wcscat_s(path, _countof(path), L"\\info.ini");
    // A new file is written in the system code page, as the narrow call would: the value is ASCII.
    return WritePrivateProfileStringW(kSection, kKey, text, path) ? 0 : -1;
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
