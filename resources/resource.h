// Resource and command numbers of the tray monitor, shared by monitor.rc and
// the C++ code. Plain #defines only, so the resource compiler can read it.
#ifndef ZELNA_MONITOR_RESOURCE_H
#define ZELNA_MONITOR_RESOURCE_H

// Strings (loaded into 100-character buffers).
#define IDS_TITLE_RUNNING 103
#define IDS_TIP_RUNNING   104
#define IDS_TEXT_STOPPED  105
#define IDS_WINDOW_CLASS  109

// Icons.
#define IDI_AGENT_RUNNING 107
#define IDI_MONITOR_SMALL 108
#define IDI_AGENT_STOPPED 129

// Window menu and accelerator table share one number.
#define IDR_MONITOR 109

// About box.
#define IDD_ABOUT 103

// Commands; the tray menu, the window menu and the accelerators all use them.
#define ID_CMD_ABOUT         104
#define ID_CMD_CLOSE_TRAY    105
#define ID_CMD_RESTART_AGENT 32771
#define ID_CMD_STOP_AGENT    32773

// Controls that are never addressed; winres.h has this too, hence the guard.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif  // ZELNA_MONITOR_RESOURCE_H
