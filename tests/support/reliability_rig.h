// Shared by the reliability tests: hostile state files, the profile as the
// profile API reads it, random messages, the tray as seen on the screen, and
// the figures a long-running monitor must not grow.
#pragma once

#include <windows.h>
#include <random>
#include <string>
#include <utility>
#include <vector>

struct BadStateFile {
    std::string name;
    std::string bytes;
};

// At least 500 generated info.ini contents, the same for the same seed.
std::vector<BadStateFile> BadStateFiles(unsigned seed);

// Every section's lines as GetPrivateProfileSectionA gives them, in order,
// each section once.
typedef std::vector<std::pair<std::string, std::string>> ProfileLines;
ProfileLines ProfileOf(const std::string& path);

// The first line of before that after lost or changed, leaving out the first
// Settings/Service entry of each; empty when nothing was lost.
std::string LostLine(ProfileLines before, ProfileLines after);

// The state the reading rule gives for the file as the profile API reads it.
int StateByReadingRule(const std::string& path);

// One message another program might send the monitor window.
struct RandomMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    COPYDATASTRUCT data;  // sent as WM_COPYDATA's lParam
};

// agentStarted: the share of copy-data messages with dwData 1 (0 for none).
RandomMessage NextRandomMessage(std::mt19937& random, double agentStarted);

// Sends it and waits for the answer; false when the window did not answer.
bool Deliver(HWND window, const RandomMessage& m);

// The tray's slots counted from the right end of the taskbar, from 0.
double TraySlotSaturation(int slot);  // mean colour saturation: 0 grey, about 0.5 colour
double TraySlotSpread(int slot);      // 0 where the slot is plain taskbar

// Wine 8 reports 0 handles and GUI objects for every process, so memory is
// what long use can be judged by here.
struct ProcessFigures {
    SIZE_T privateBytes;
    SIZE_T workingSet;
};
ProcessFigures FiguresOf(HANDLE process);

// Answers the monitor's box with this text; false when it did not appear.
bool AnswerBoxSaying(const wchar_t* text, int timeoutMs = 10000);

// A window of this class owned by that process, or NULL.
HWND WindowOfProcess(const wchar_t* className, DWORD processId);

// A measured figure, printed where the README's table is taken from.
void Figure(const char* name, double value, const char* unit);
