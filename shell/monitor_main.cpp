#include "monitor_main.h"

#include <stdlib.h>

#include "agent_state.h"
#include "monitor_window.h"
#include "resource.h"
#include "tray_icon.h"

#if defined(_M_IX86) || defined(__i386__)
// The shipped 32-bit program registers its class with the record's documented full size.
static_assert(sizeof(WNDCLASSEXW) == 48, "WNDCLASSEXW must be 48 bytes");
#endif

int MonitorMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    ReadAgentState();
    const bool found = ReconcileAgentState();
    const bool stopped = g_agentState != kAgentRunning;

    wchar_t title[100] = {};
    LoadStringW(instance, found ? IDS_TITLE_RUNNING : IDS_TEXT_STOPPED, title, _countof(title));
    wchar_t className[100] = {};
    LoadStringW(instance, IDS_WINDOW_CLASS, className, _countof(className));

    g_taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MonitorWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(stopped ? IDI_AGENT_STOPPED : IDI_AGENT_RUNNING));
    windowClass.hCursor = LoadCursorW(NULL, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDR_MONITOR);
    windowClass.lpszClassName = className;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MONITOR_SMALL));
    RegisterClassExW(&windowClass);

    g_hInstance = instance;
    HWND window = CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL,
                                  NULL, instance, NULL);
    if (window == NULL) {
        return 0;
    }
    // Run elevated, the window would not hear the shell's restart from the
    // unelevated shell, and the icon would stay lost.
    ChangeWindowMessageFilterEx(window, g_taskbarCreatedMessage, MSGFLT_ALLOW, NULL);
    // Never shown: the tray icon is the program's face.
    wchar_t tooltip[100] = {};
    LoadStringW(instance, stopped ? IDS_TEXT_STOPPED : IDS_TIP_RUNNING, tooltip, _countof(tooltip));
    AddTrayIcon(window, stopped ? kTrayStopped : kTrayRunning, tooltip);

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MONITOR));
    MSG msg = {};
    while (GetMessageW(&msg, NULL, 0, 0)) {
        if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

void RestrictDllSearch()
{
    // Looked up, not imported: Windows 7 without its loader update lacks it,
    // and the loader would refuse to start a program that imports it.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (found != NULL) {
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(found))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        // All that system offers: the current folder leaves the search, the
        // program's own folder stays in it.
        SetDllDirectoryW(L"");
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand)
{
    // Before anything can load a DLL by name: a program started from a
    // user-writable folder must not pick up a DLL planted beside it.
    RestrictDllSearch();
    return MonitorMain(instance, previous, commandLine, showCommand);
}
