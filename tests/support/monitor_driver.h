// Drives the real monitor program from outside, as the shell and other
// programs do: by its window class, by messages, by its boxes and menu.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <string>

struct Monitor {
    PROCESS_INFORMATION info = {};
    HWND window = NULL;
};

// Starts the monitor (by default the one built beside this test program) and
// waits for its hidden window, which exists once start-up is done.
Monitor StartMonitor(const wchar_t* arguments = L"", const std::wstring& program = L"");

std::wstring TitleOf(HWND window);

// A top-level window of that class and title once it appears, or NULL.
HWND WaitWindow(const wchar_t* className, const wchar_t* title, int timeoutMs = 10000);

// Waits for the monitor's message box, returns its text and presses OK.
std::wstring AnswerBox(int timeoutMs = 10000);

// Opens the real tray menu with a right press and chooses the entry reached by
// that many presses of Down (the separator is skipped). False when no menu opened.
bool ChooseTrayEntry(HWND monitor, int downs);

// The tray icon's id the tray holds for the monitor: 107 (running look),
// 129 (stopped look), 0 for none, waiting up to timeoutMs for `expected`.
// Asked of the tray with a change of nothing (no flags), which the tray
// answers true only for an icon it holds.
const unsigned kRunningIcon = 107, kStoppedIcon = 129, kNoIcon = 0;
unsigned TrayIconOf(HWND monitor, unsigned expected, int timeoutMs = 5000);

// What the shell does to the icon when its notification area is re-created.
void DropTrayIcon(HWND monitor);
// Mean colour saturation (0 to 1) of the notification area's first slot on the
// virtual screen, read from the screen itself: near 0 for the grey icon.
double TraySlotSaturation();

// Waits for the monitor to end and returns its exit code (999 when unknown).
DWORD EndOf(Monitor& monitor);

// Terminates every monitor still running: a leftover holds a test's output open.
void EndLeftoverMonitors();

// Each test starts and ends in a clean prefix: no monitor, no agent, no state
// file, the 64-bit stand-ins in place.
class MonitorWorldTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
