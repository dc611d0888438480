// Stand-in for the agent: a windowless program that runs until it is ended.
// With --deny-terminate it denies PROCESS_TERMINATE to everyone on itself,
// so that only its owner, by first rewriting the DACL, can end it.
#include <windows.h>
#include <aclapi.h>
#include <wchar.h>

static bool DenyTerminateToEveryone()
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = NULL;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
        return false;
    }
    EXPLICIT_ACCESSW rules[2];
    ZeroMemory(rules, sizeof rules);
    rules[0].grfAccessPermissions = PROCESS_TERMINATE;
    rules[0].grfAccessMode = DENY_ACCESS;
    rules[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    rules[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    rules[0].Trustee.ptstrName = static_cast<LPWSTR>(everyone);
    rules[1] = rules[0];
    rules[1].grfAccessPermissions = PROCESS_ALL_ACCESS & ~PROCESS_TERMINATE;
    rules[1].grfAccessMode = GRANT_ACCESS;

    PACL acl = NULL;
    bool done = SetEntriesInAclW(2, rules, NULL, &acl) == ERROR_SUCCESS &&
                SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                NULL, NULL, acl, NULL) == ERROR_SUCCESS;
    if (acl != NULL) {
        LocalFree(acl);
    }
    FreeSid(everyone);
    return done;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    if (wcsstr(commandLine, L"--deny-terminate") != NULL && !DenyTerminateToEveryone()) {
        return 2;
    }
    for (;;) {
        Sleep(INFINITE);
    }
}
