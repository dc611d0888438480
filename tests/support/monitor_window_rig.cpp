#include "monitor_window_rig.h"

#include "monitor_window.h"
#include "tray_icon.h"

HWND NewMonitorWindow(const wchar_t* className)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = MonitorWndProc;
    windowClass.hInstance = g_hInstance;
    windowClass.lpszClassName = className;
    RegisterClassExW(&windowClass);  // fails harmlessly once registered
    return CreateWindowExW(0, className, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL, NULL, g_hInstance, NULL);
}
