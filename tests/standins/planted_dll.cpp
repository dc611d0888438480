// A DLL planted beside the program under a system DLL's name: if it is ever
// loaded it leaves a mark beside itself, then refuses to stay loaded so that
// the caller carries on as without the system one.
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t mark[MAX_PATH + 8] = {};
    GetModuleFileNameW(instance, mark, MAX_PATH);
    wcscat_s(mark, _countof(mark), L".loaded");
    CloseHandle(CreateFileW(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    return FALSE;
}
