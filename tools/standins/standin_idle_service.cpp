// Stand-in for a terminate service that starts but ends nothing: it notes
// each start in a file beside itself and leaves.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    wcscat_s(path, MAX_PATH, L".starts");
    FILE* starts = _wfopen(path, L"a");
    if (starts != NULL) {
        fputs("started\n", starts);
        fclose(starts);
    }
    return 0;
}
