// Running one test program in a job of its own, its output passed on, and judging what it answered.
#pragma once

#include <windows.h>

// What a test program's run counts as.
enum Result { kPassed, kFailed, kSkipped };

// Runs program with its output shown and kept: its exit code, STILL_ACTIVE if ended at its limit, ~0 if not started.
DWORD Run(const wchar_t* program, ULONGLONG* elapsedMs);

// What a run that answered code and left the GoogleTest file xml counts as; why (kTextChars) says why.
Result Judge(const wchar_t* xml, DWORD code, wchar_t* why);
