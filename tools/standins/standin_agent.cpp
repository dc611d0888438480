// Stand-in for the agent: a windowless program that runs until it is ended.
// Two options put it out of reach of other processes by its own DACL, as Windows
// puts a real agent out of a standard user's reach:
//   --elevated    an elevated agent in this session. A process's mandatory label
//                 keeps a lower-integrity caller from reading or writing it
//                 (Mandatory Integrity Control), so a standard user's process gets
//                 PROCESS_QUERY_LIMITED_INFORMATION and SYNCHRONIZE, never
//                 PROCESS_TERMINATE or PROCESS_QUERY_INFORMATION (Process Security
//                 and Access Rights).
//   --other-user  another user's agent: a new process's DACL grants only its owner
//                 and SYSTEM, so this user gets no access at all.
// Its owner may still rewrite the DACL (WRITE_DAC), which is how the tests' world
// and the terminate service stand-in end it.
//   --announce    tells the monitor it runs, as the real agent does: copy-data
//                 word 1 to the monitor's window, found by its class, once.
#include <windows.h>
#include <aclapi.h>
#include <wchar.h>

static bool SetOwnDacl(PACL acl)
{
    const DWORD set =
        SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, acl, NULL);
    return set == ERROR_SUCCESS;
}

// A DACL with one rule: everyone may wait for this process and ask its limited information.
static bool AllowOnlyLimitedQuery()
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = NULL;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        return false;
    }
    EXPLICIT_ACCESSW rule;
    ZeroMemory(&rule, sizeof rule);
    rule.grfAccessPermissions = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
    rule.grfAccessMode = GRANT_ACCESS;
    rule.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    rule.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    rule.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    PACL acl = NULL;
    bool done = SetEntriesInAclW(1, &rule, NULL, &acl) == ERROR_SUCCESS;
    if (done) {
        done = SetOwnDacl(acl);
    }
    if (acl != NULL) {
        LocalFree(acl);
    }
    FreeSid(everyone);
    return done;
}

// An empty DACL: no rule, so no access for anyone (a NULL DACL would grant everything).
static bool AllowNothing()
{
    ACL empty;
    if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) {
        return false;
    }
    return SetOwnDacl(&empty);
}

const wchar_t kMonitorClass[] = L"ZELNANIVOROMONITOR";
const ULONG_PTR kAgentStarted = 1;
// The monitor may still be starting; a few seconds is all a peer would wait.
const int kLookForMonitorTries = 100;
const DWORD kLookForMonitorPauseMs = 100;
const UINT kAnnounceTimeoutMs = 10000;

static void Announce()
{
    for (int i = 0; i < kLookForMonitorTries; ++i) {
        HWND monitor = FindWindowW(kMonitorClass, NULL);
        if (monitor != NULL) {
            COPYDATASTRUCT data = {kAgentStarted, 0, NULL};
            DWORD_PTR answer = 0;
            SendMessageTimeoutW(monitor, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL,
                                kAnnounceTimeoutMs, &answer);
            return;
        }
        Sleep(kLookForMonitorPauseMs);
    }
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    bool ready = true;
    if (wcsstr(commandLine, L"--elevated") != NULL) {
        ready = AllowOnlyLimitedQuery();
    }
    if (wcsstr(commandLine, L"--other-user") != NULL) {
        ready = AllowNothing();
    }
    if (!ready) {
        return 2;
    }
    if (wcsstr(commandLine, L"--announce") != NULL) {
        Announce();
    }
    for (;;) {
        Sleep(INFINITE);
    }
}
