// What protects the tester's machine: the paths the suite touches, the refusals before it runs, the user's
// state file set aside and put back, and what the suite left running ended.
#pragma once

#include <windows.h>

// The most test programs one run takes.
const int kMaxPrograms = 64;

// What the suite may create or overwrite, files before the folders that hold them. Whatever of it was
// absent before the run is removed after it; the state file is set aside and put back.
enum Trace { kAgent, kService, kInstallFolder, kMakerFolder, kStateFile, kStateFolder, kTraces };

struct Paths {
    wchar_t kit[MAX_PATH];
    wchar_t saved[MAX_PATH];  // the set-aside state file and the record of what was there
    wchar_t savedState[MAX_PATH];
    wchar_t record[MAX_PATH];
    wchar_t trace[kTraces][MAX_PATH];
};

// The kit's folder (ending in ''), what the suite may touch, and where the state file is set aside.
void Fill(Paths* paths);

// The names of the *_test.exe beside the kit, at most kMaxPrograms, sorted; their number.
int Programs(const Paths& paths, wchar_t (*names)[MAX_PATH]);

// The number of runs of the kit or of its test programs under way besides this one, each printed.
int OthersRunning(const Paths& paths);

// True when the kit runs elevated (as administrator).
bool Elevated();

// Puts back and ends what a run left; the number of things left, each printed.
int Finish(const Paths& paths);

// The number of reasons not to run, each printed; 0 once the user's state file is set aside.
int Begin(const Paths& paths);
